// The NM object as a Part 10 file, and the file written through the
// output-file rules.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcostrmb.h>

#include <new>

#include "writer/dicom/nm_object.h"
#include "writer/output_file.h"

namespace trevik::dicom {

namespace {

Status noMemory() { return statusOf(Reason::NoMemory); }

}  // namespace

Status encodeFile(DcmFileFormat& file, std::vector<unsigned char>& bytes, E_TransferSyntax syntax) {
    try {
        bytes.clear();
        bytes.reserve(file.getDataset()->calcElementLength(syntax, EET_UndefinedLength) + 4096);
        if (file.validateMetaInfo(syntax).bad()) return noMemory();
        std::vector<unsigned char> buffer(1 << 20);
        DcmOutputBufferStream out(buffer.data(), buffer.size());
        // Sequences and items of undefined length: older readers (XMedCon)
        // misread empty sequences of explicit length 0.
        file.transferInit();
        OFCondition condition = EC_StreamNotifyClient;
        while (condition == EC_StreamNotifyClient) {
            condition = file.write(out, syntax, EET_UndefinedLength, nullptr);
            void* chunk = nullptr;
            offile_off_t length = 0;
            out.flushBuffer(chunk, length);
            const auto* first = static_cast<const unsigned char*>(chunk);
            bytes.insert(bytes.end(), first, first + length);
        }
        file.transferEnd();
        if (condition.bad()) return noMemory();
    } catch (const std::bad_alloc&) {
        return noMemory();
    }
    return {};
}

Status writeBytes(const char* path, const std::vector<unsigned char>& bytes, const detail::KeepTest& keep,
                  detail::OutputFile::Existing existing) {
    detail::OutputFile output;
    const bool written =
        output.open(path, keep, existing) &&
        output.commit([&](int fd) { return detail::writeAll(fd, bytes.data(), bytes.size()); }, bytes.size());
    Status status;
    if (!written)
        status = output.keptSource() ? statusOf(Reason::KeptSource) : statusOf(Reason::CannotWrite, output.error());
    status.where.output = !written;
    return status;
}

}  // namespace trevik::dicom
