// The fuzz target over the DICOM source: the input bytes become a file
// (DCMTK checks declared lengths against what a file holds, where a buffer
// in memory would have it allocate them first) that loadDicomStudy reads
// into a fresh study, as trevik-dicom import does. Any broken promise
// aborts with a message.
//
// The promises checked:
// - loadDicomStudy answers 0, 2, 4 or 8 (never 1: the file exists);
// - the nesting scan of the bytes in memory agrees with the scan of the
//   file, and a refusal by it is the load's answer;
// - the walk of JPEG 2000 headers, over the bytes from their first SOC on,
//   answers lossless, lossy (main header or tile-part) or not decodable;
// - the text decoder, given the first bytes as a Specific Character Set
//   and the rest as a name, answers ASCII with no zero byte;
// - after 0: the frames are 64 x 64, there is at least one and they fit the
//   frame store, the division count is not negative, and every text field
//   ends within its width and holds ASCII only.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/oflog/oflog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "dicom/dictionary.h"
#include "reader/dicom/charset.h"
#include "reader/dicom/codestream.h"
#include "reader/dicom/dicom_source.h"
#include "reader/dicom/nesting.h"
#include "study/rules.h"
#include "study/store_sink.h"

namespace {

[[noreturn]] void broken(const std::string& what) {
    std::fprintf(stderr, "fuzz_dicom: contract broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

template <std::size_t N>
void checkText(const char (&field)[N], const char* name) {
    std::size_t length = ::strnlen(field, N);
    for (std::size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(field[i]) >= 0x80) length = N;
    if (length == N) broken(std::string(name) + " is not terminated or holds a byte beyond ASCII");
}

void checkDecoder(const std::uint8_t* data, std::size_t size) {
    const std::size_t split = size < 32 ? size / 2 : 16;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const trevik::dicom::TextDecoder decoder(bytes.substr(0, split));
    for (const std::string& text : {decoder.name(bytes.substr(split)), decoder.identifier(bytes.substr(split))})
        for (const char c : text)
            if (c == 0 || static_cast<unsigned char>(c) >= 0x80) broken("a decoded text holds a zero byte or one beyond ASCII");
}

void checkCodestream(const std::uint8_t* data, std::size_t size) {
    static constexpr std::uint8_t kSoc[] = {0xFF, 0x4F};
    const std::uint8_t* soc = std::search(data, data + size, kSoc, kSoc + 2);
    const trevik::Reason r = trevik::dicom::checkLossless({soc, static_cast<std::size_t>(data + size - soc)}).reason;
    if (r != trevik::Reason::Done && r != trevik::Reason::DicomLossy && r != trevik::Reason::DicomLossyTile &&
        r != trevik::Reason::DicomUndecodable)
        broken("the JPEG 2000 header walk gives another reason");
}

}  // namespace

namespace trevik::fuzz {

int dicomInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        trevik::dicom::useCompiledDictionary();
        OFLog::configure(OFLogger::OFF_LOG_LEVEL);
        return true;
    }();
    (void)quiet;
    static std::unique_ptr<trevik::Study> study(new trevik::Study());

    // One scratch file for the whole process, in memory where there is one.
    static const std::string path = [] {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/trevik-fuzz-dicom-XXXXXX";
        const int fd = ::mkstemp(pattern.data());
        if (fd < 0) broken("cannot create a scratch file");
        ::close(fd);
        std::atexit([] { ::unlink(path.c_str()); });
        return pattern;
    }();
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out || std::fwrite(data, 1, size, out) != size || std::fclose(out) != 0) broken("cannot write the scratch file");

    checkDecoder(data, size);
    checkCodestream(data, size);
    const trevik::Status inMemory = trevik::dicom::checkNesting(data, size);
    const trevik::Status inFile = trevik::dicom::checkNestingOfFile(path.c_str());
    if (inMemory.code != inFile.code || inMemory.reason != inFile.reason)
        broken("the nesting scans of the bytes and of the file disagree");

    // A fresh study for every input; the frame store is filled by the load.
    static_cast<trevik::StudyFacts&>(*study) = trevik::StudyFacts{};
    trevik::StoreSink sink(study->store);
    const trevik::Status status = trevik::dicom::loadDicomStudy(path.c_str(), *study, sink, {});
    if (status.code != 0 && status.code != 2 && status.code != 4 && status.code != 8)
        broken("code " + std::to_string(status.code));
    if (!inFile.ok() && size > 132 && std::memcmp(data + 128, "DICM", 4) == 0 &&
        (status.code != inFile.code || status.reason != inFile.reason))
        broken("the load does not give the nesting scan's refusal");
    if (status.code != 0) return 0;
    const trevik::Study& s = *study;
    if (s.geometry.columns != 64 || s.geometry.rows != 64) broken("frames other than 64 x 64");
    if (s.record.frames <= 0 || s.record.division < 0 || !trevik::framesFitStore(s.record))
        broken("frames that do not fit the store");
    checkText(s.record.name, "name"), checkText(s.record.id, "id"), checkText(s.record.sex, "sex");
    checkText(s.record.date, "date"), checkText(s.record.time, "time"), checkText(s.record.tracer, "tracer");
    return 0;
}

}  // namespace trevik::fuzz
