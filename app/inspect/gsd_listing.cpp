#include "app/inspect/gsd_listing.h"

#include <string>
#include <vector>

#include "app/inspect/montage.h"
#include "app/inspect/qc_report.h"
#include "study/study.h"
#include "writer/gsd/gsd_format.h"

namespace trevik::inspect {

namespace {

constexpr std::size_t kMostGsdHeader = 4096;  // far above any header the writer makes
constexpr int kMostDrawnFrames = FrameStore::kSlots;

// The line at `at` up to its CR LF (or a part of it), for a message.
std::string lineAt(std::string_view text, std::size_t at) {
    std::string_view rest = text.substr(std::min(at, text.size()));
    rest = rest.substr(0, std::min(rest.find("\r\n"), std::size_t{80}));
    return quoted(rest);
}

std::string problemText(const gsd::Header& h, std::string_view text) {
    const std::string line = "line " + toText(h.line);
    const std::string key(h.key);
    switch (h.problem) {
    case gsd::Header::Problem::None: return {};
    case gsd::Header::Problem::NoMagic: return "line 1 is not \"" + std::string(gsd::kMagicWord) + "\"";
    case gsd::Header::Problem::Missing:
        return line + " is " + lineAt(text, h.at) + ", expected \"" + key + " = ...;\"";
    case gsd::Header::Problem::Unterminated: return line + " (" + key + ") does not end in \";\" and CR LF";
    case gsd::Header::Problem::Malformed: return line + " holds " + quoted(h.value) + ", not a valid " + key;
    case gsd::Header::Problem::NoSeparator:
        return line + " is " + lineAt(text, h.at) + ", expected the form feed line";
    }
    return {};
}

// The per-sample loop is not inlined: the fuzz build keeps it off its
// coverage instrumentation. Takes one frame into a division's minimum, maximum and sum.
__attribute__((noinline)) void divisionRange(const std::int16_t* frame, int& low, int& high, long long& sum) {
    for (int k = 0; k < FrameStore::kFrameSamples; ++k) {
        const int v = frame[k];
        low = std::min(low, v);
        high = std::max(high, v);
        sum += v;
    }
}

}  // namespace

bool startsWithGsdMagic(std::FILE* stream) {
    char head[gsd::kMagic.size()];
    const bool magic = std::fread(head, 1, sizeof head, stream) == sizeof head &&
                       std::string_view(head, sizeof head) == gsd::kMagic;
    std::rewind(stream);
    return magic;
}

std::string reportGsd(Text& t, std::FILE* stream, std::int64_t size, bool drawMontage, Inspection& ins) {
    t << "kind: Gated SPECT data file\n";
    std::string head(kMostGsdHeader, '\0');
    head.resize(std::fread(head.data(), 1, head.size(), stream));
    const gsd::Header h = gsd::parseHeader(head);
    t << "header lines:\n";
    if (h.problem != gsd::Header::Problem::NoMagic) t << "  " << gsd::kMagicWord << "\n";
    for (const gsd::Line& line : h.lines) {
        std::string shown;
        appendPrintable(shown, std::string(line.key) + " = " + line.value + ";");
        t << "  " << shown << "\n";
    }
    if (h.problem == gsd::Header::Problem::None) t << "  \\x0C\n";
    if (h.problem != gsd::Header::Problem::None) {
        t << "header: " << problemText(h, head) << "; the length is not checked\n";
        if (drawMontage) ins.noMontage = "the header is malformed";
        return "header malformed at line " + toText(h.line);
    }
    // The writer writes every division (at least one) of `frames` frames.
    const long long divisions = gsd::divisionsWritten(h.division);
    const long long frames = h.frames > 0 ? h.frames : 0;
    constexpr long long kMostFrames = 1LL << 40;  // far beyond any file, and no overflow below
    if (frames > kMostFrames / divisions) {
        t << "length: " << plural(size, "byte", "bytes") << "; the header claims " << divisions << " x " << frames
          << " frames, more than any file holds\n";
        if (drawMontage) ins.noMontage = "the header claims more frames than a conversion writes";
        return "header claims more frames than any file holds";
    }
    constexpr auto kFrameBytes = static_cast<long long>(gsd::kFrameBytes);
    const long long expected = static_cast<long long>(h.size) + divisions * frames * kFrameBytes;
    t << "length: " << plural(size, "byte", "bytes") << "; " << h.size << " header bytes + " << divisions << " x "
      << frames << " frames x " << kFrameBytes << " bytes = " << expected;
    t << (size == expected ? ": correct\n" : size < expected ? ": frames are missing\n" : ": extra bytes at the end\n");
    const std::string found = size < 0           ? "length unknown"
                              : size == expected ? "ok"
                              : size < expected  ? "frames missing"
                                                 : "extra bytes at the end";
    if (divisions * frames > kMostDrawnFrames) {
        t << "frames: " << divisions * frames << " claimed, more than a conversion writes; not read\n";
        if (drawMontage) ins.noMontage = "the header claims more frames than a conversion writes";
        return "header claims more frames than a conversion writes";
    }

    // Every frame present, in file order.
    const auto count = static_cast<std::size_t>(divisions * frames);
    std::vector<std::int16_t> samples(count * FrameStore::kFrameSamples);
    std::vector<bool> present(count, false);
    if (std::fseek(stream, static_cast<long>(h.size), SEEK_SET) == 0) {
        unsigned char bytes[gsd::kFrameBytes];
        for (std::size_t f = 0; f < count && std::fread(bytes, 1, sizeof bytes, stream) == sizeof bytes; ++f) {
            present[f] = true;
            gsd::decodeFrame(bytes, &samples[f * FrameStore::kFrameSamples]);
        }
    }
    for (long long d = 0; d < divisions && frames > 0; ++d) {
        int low = 32767;
        int high = -32768;
        long long sum = 0;
        long long seen = 0;
        for (long long i = 0; i < frames; ++i) {
            const auto f = static_cast<std::size_t>(d * frames + i);
            if (!present[f]) continue;
            ++seen;
            divisionRange(&samples[f * FrameStore::kFrameSamples], low, high, sum);
        }
        t << "division " << d + 1 << ": ";
        if (seen == 0)
            t << "no frame in the file\n";
        else
            t << "min " << low << ", max " << high << ", sum " << sum
              << (seen < frames ? " (" + toText(seen) + " of " + toText(frames) + " frames)" : std::string()) << "\n";
    }
    qc::Facts facts;
    for (const auto& [key, field] : {std::pair{"id", &facts.patientId}, {"name", &facts.patientName}, {"date", &facts.date},
                                     {"time", &facts.time}, {"comment", &facts.comment}})
        if (const std::string* value = h.find(key)) *field = *value;
    reportQc(t, {static_cast<int>(divisions), static_cast<int>(frames), [&](int d, int v) {
                     const auto f = static_cast<std::size_t>(d * frames + v);
                     return present[f] ? &samples[f * FrameStore::kFrameSamples] : nullptr;
                 }}, ins, facts);
    if (!drawMontage) return found;
    ins.montage = montageOf(ins.path, static_cast<int>(divisions), static_cast<int>(frames), [&](int d, int i) {
        const auto f = static_cast<std::size_t>(d * frames + i);
        return present[f] ? &samples[f * FrameStore::kFrameSamples] : nullptr;
    });
    if (ins.montage.width == 0) ins.noMontage = "the file holds no frame";
    return found;
}

}  // namespace trevik::inspect
