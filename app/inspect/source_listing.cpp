#include "app/inspect/source_listing.h"

#include <cstring>

#include "app/inspect/montage.h"
#include "app/inspect/qc_report.h"

namespace trevik::inspect {

namespace {

// What the reader made of the value: the study fields its rule set.
std::string describe(const SeenElement& e, const StudyFacts& study, bool end) {
    const ElementHeader& h = e.header;
    if (end) return "ends the header";
    if (h.length < 0) return "negative length";
    if (!e.rule) return "skipped";
    if (!e.applied) {
        if (e.rule->form == ValueForm::Fixed && h.length < e.rule->width)
            return "shorter than the " + toText(e.rule->width) + " bytes the reader needs: skipped";
        return "cut short by the end of the file";
    }
    FieldView fields[kMostFields];
    const int n = e.rule->fields(study, fields);
    Text t;
    for (int i = 0; i < n; ++i) {
        const FieldView& f = fields[i];
        t << (i ? ", " : "") << f.label << " ";
        switch (f.kind) {
        case FieldView::Kind::Text: t << quoted({f.text, ::strnlen(f.text, f.width)}); break;
        case FieldView::Kind::Integer: t << f.integer; break;
        case FieldView::Kind::Number: t << f.number; break;
        case FieldView::Kind::Flag: t << (f.integer ? "yes" : "no"); break;
        }
    }
    return std::move(t.str());
}

// Whether the status holds the header's values: the header was read whole.
bool headerRead(const Status& s) {
    switch (s.reason) {
    case Reason::CannotOpen:
    case Reason::NotRecognised:
    case Reason::NegativeLength:
    case Reason::HeaderEnds: return false;
    default: return true;
    }
}

// Whether the frames per division were derived.
bool framesDerived(const Status& s) {
    switch (s.reason) {
    case Reason::StoreFull:
    case Reason::NoFrames:
    case Reason::PixelDataEnds:
    case Reason::Done: return true;
    default: return false;
    }
}

}  // namespace

void ElementListing::seen(const SeenElement& e, const StudyFacts& study) {
    if (++count_ > kMostListed) return;
    const ElementHeader& h = e.header;
    const bool end = h.group == kEndGroup && h.element == kEndElement;
    Text t;
    t << "  " << padLeft(toText(e.offset), 8) << "  " << tagText(h.group, h.element) << "  "
      << padRight(e.rule ? e.rule->name : end ? "end of header" : "-", 16) << padLeft(toText(h.length), 11) << "  "
      << describe(e, study, end) << "\n";
    lines_ += t.str();
}

std::string ElementListing::text() const {
    if (count_ <= kMostListed) return lines_;
    return lines_ + "  ... and " + plural(count_ - kMostListed, "element", "elements") + " more\n";
}

void reportSource(Text& t, std::int64_t size, const Status& status, const Study& loaded, const ElementListing& listing,
                  const WrapCounter& wraps, bool drawMontage, Inspection& ins) {
    const Where& r = status.where;
    t << "recognised: yes: (0000,0000) at offset 64 and (0000,0001) at offset 76 open the header\n";
    t << "sample form: " << (r.sampleBits == 32 ? "32-bit floats" : "16-bit integers")
      << " (preamble word at offset 18: " << r.sampleBits << ")\n";
    t << "header elements:\n  " << padLeft("offset", 8) << "  " << padRight("element", 11) << "  "
      << padRight("name", 16) << padLeft("length", 11) << "  value\n"
      << listing.text();
    std::int64_t pixelStart = -1;
    if (status.reason == Reason::HeaderEnds) {
        t << "header: the file (" << plural(size, "byte", "bytes") << ") ends before the end element "
          << tagText(kEndGroup, kEndElement) << "\n";
    } else if (status.reason == Reason::NegativeLength) {
        t << "header: the walk stops at the negative length\n";
    } else {
        pixelStart = r.dataOffset;
        t << "pixel data: from offset " << pixelStart << "\n";
    }

    int imagesStored = 0;
    if (headerRead(status)) {
        t << "geometry: " << r.columns << " x " << r.rows << ", "
          << (r.sampleBits == 32 ? "32-bit floats" : "16-bit integers");
        if (r.columns == 128 && r.rows == 128) t << ", reduced to 64 x 64 when converted";
        t << "\n";
        t << "gating: hr " << r.hr << ", " << plural(r.division, "division", "divisions") << ", image count "
          << r.imageCount;
        if (framesDerived(status)) t << ": " << plural(r.frames, "frame", "frames") << " per division";
        t << "\n";
        t << "images: ";
        const long long imageBytes = static_cast<long long>(r.rows) * r.columns * (r.sampleBits == 32 ? 4 : 2);
        if (pixelStart >= 0 && imageBytes > 0 && size >= 0) {
            const long long data = size > pixelStart ? size - pixelStart : 0;
            t << "the file holds " << data / imageBytes;
            if (data % imageBytes) t << " and " << plural(data % imageBytes, "byte", "bytes") << " of another";
            t << ", ";
        }
        if (r.passes > 0)
            t << "the converter reads " << static_cast<long long>(r.passes) * r.frames << " ("
              << plural(r.passes, "division", "divisions") << " of " << r.frames << ")\n";
        else
            t << "the converter reads none\n";
        if (status.reason == Reason::Done) imagesStored = r.passes * r.frames;
        if (status.reason == Reason::PixelDataEnds) imagesStored = r.image - 1;

        // Images the header counts that no division takes: the divisions
        // split the count by integer division, the remainder is never read.
        const long long read = static_cast<long long>(r.passes) * r.frames;
        if ((status.reason == Reason::Done || status.reason == Reason::PixelDataEnds) && r.imageCount > read) {
            t << "warning: " << plural(r.imageCount - read, "image is", "images are")
              << " never read: the image count " << r.imageCount << " is not a multiple of "
              << plural(r.passes, "division", "divisions") << "\n";
            ++ins.verdict.warnings;
        }
        // Bytes the conversion never looks at.
        const long long end = pixelStart + read * imageBytes;
        if (status.reason == Reason::Done && size > end) {
            t << "warning: " << plural(size - end, "byte follows", "bytes follow")
              << " the last image the converter reads (from offset " << end << ")\n";
            ++ins.verdict.warnings;
        }
    }

    if (imagesStored > 0) {
        ins.verdict.wrapped = wraps.totalWrapped();
        if (wraps.totalWrapped() == 0) {
            t << "wrapped samples: none\n";
        } else {
            t << "warning: " << plural(wraps.totalWrapped(), "stored sample wraps", "stored samples wrap")
              << " around modulo 65536" << wraps.wrappedPerDivision() << "\n";
            ++ins.verdict.warnings;
        }
        if (wraps.totalNonFinite() > 0) {
            t << "warning: " << plural(wraps.totalNonFinite(), "float sample is", "float samples are")
              << " not finite and stored as 0" << wraps.nonFinitePerDivision() << "\n";
            ++ins.verdict.warnings;
        }
    }

    // The frames in the order the converter writes them: the order acquired.
    const int frames = r.frames;
    const bool reverse = loaded.flags.reverseFrames;
    auto slotOf = [&](int i) { return reverse ? frames - 1 - i : i; };
    if (imagesStored > 0 && imagesStored == r.passes * frames) {
        qc::Facts facts;
        qc::describe(facts, loaded.record);
        reportQc(t, {r.passes, frames, [&](int d, int v) { return loaded.store.frame(d, slotOf(v)); }}, ins, facts);
    } else {
        reportNoQc(t, imagesStored > 0 ? "the frames cannot all be read" : "no frames were read");
    }

    if (!drawMontage) return;
    if (imagesStored <= 0) {
        ins.noMontage = "no frames were read";
        return;
    }
    ins.montage = montageOf(
        ins.path, r.passes, frames,
        [&](int d, int i) -> const std::int16_t* {
            const int f = slotOf(i);
            return d * frames + f < imagesStored ? loaded.store.frame(d, f) : nullptr;
        },
        [&](int d, int i) { return wraps.wrappedAt(d, slotOf(i)); });
}

}  // namespace trevik::inspect
