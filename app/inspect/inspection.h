// What trevik-inspect finds in one file: a source projection file is loaded
// exactly as trevik loads it and explained (recognition, every header
// element as the reader takes it, geometry, the loader's verdict, samples
// that wrap); a Gated SPECT data file is checked against its own layout.
// Both can be drawn as a montage of their frames.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "study/qc.h"

namespace trevik::inspect {

// Dicom: a DICOM Part 10 file, inspected by trevik-dicom where installed.
// Other: a file that is readable but neither a source nor a .gsd (a picture
// the node wrote beside its studies, notes): listed, not a failed source.
// Unknown: a file that cannot be read.
enum class FileKind { Source, Gsd, Dicom, Unknown, Other };

// "source", "gsd", "dicom", "unknown" or "other".
const char* kindName(FileKind kind);

// What trevik answers for a file given as its source, and why.
struct Verdict {
    FileKind kind = FileKind::Unknown;
    int code = 0;             // the exit code of `trevik FILE OUTPUT` (OUTPUT writable)
    std::string reason;       // one line, the code's meaning and where it applies
    long long wrapped = 0;    // stored samples whose exact value lies outside -32768..32767
    int warnings = 0;         // the report's warning lines: what converts, but not as the file means it
    bool unreadable = false;  // the file could not be read at all
    // The quality control of the frames: the lowest division's counts in %
    // of the mean (empty for an ungated study), the largest axial motion in
    // pixels (empty below 8 views), and "ok", "warn" or "-" (frames not read).
    std::string qcLowest, qcMotion, qcState = "-";
};

// A picture: 8-bit RGB, rows top to bottom, no padding. A montage has the
// file name on top, then one row per division (its number at the left) and
// one column per frame (its number above), frames of 64 x 64 pixels with
// kMontageGap pixels of background around and between them, and a scale bar
// at the bottom. montageWidth and montageHeight give its size.
inline constexpr int kMontageGap = 2;
int montageWidth(int frames);
int montageHeight(int divisions);
struct Montage {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
};

struct Inspection {
    std::string path;  // the file inspected
    Verdict verdict;
    std::string report;  // the block printed for the file; every line ends in '\n'
    Montage montage;     // empty unless asked for and the file has frames to draw
    std::string noMontage;  // why the montage is empty, when it was asked for
    qc::Result qc;          // the quality control of the frames, for its pictures
    qc::Facts qcFacts;      // what it knew besides the frames, for the page
    // A DICOM file handed on to trevik-dicom, which drew its quality
    // control's pictures: the report's lines naming them, and whether one
    // could not be written (said on standard error by trevik-dicom).
    bool handedOn = false;
    std::string handedPictureLines;
    bool handedPictureFailed = false;
};

// What a DICOM file's inspection passes on to trevik-dicom: the TSV form
// (the verdict's figures then come from its TSV line), and the names of the
// quality control's page and cine to draw (empty: none).
struct HandOn {
    bool tsv = false;
    std::string qcPage, cine;
};

// Inspects the file at `path` without changing it. Every source is loaded
// into a fresh, zeroed study, as trevik starts. A file that cannot be read
// or understood gives a verdict, never an exception (except std::bad_alloc).
Inspection inspectFile(const std::string& path, bool drawMontage, const HandOn& handOn);
inline Inspection inspectFile(const std::string& path, bool drawMontage) { return inspectFile(path, drawMontage, {}); }

// inspectFile (or `inspect`, when given), with memory running out turned
// into the verdict trevik gives then: code 8, "not enough memory".
using InspectFunction = std::function<Inspection(const std::string& path, bool drawMontage)>;
Inspection inspectOrNoMemory(const std::string& path, bool drawMontage, const InspectFunction& inspect = nullptr);

// The --tsv line of a file: path, kind, code, reason, wrapped-sample count,
// warning count, the picture drawn (empty when none) and the three quality
// control figures, tab-separated, escaped, ending in '\n'.
std::string tsvLine(std::string_view path, const Verdict& verdict, std::string_view picture = {});

// `text` with backslash, tab, newline and carriage return written as \\, \t,
// \n and \r, and every other control byte (0x00..0x1F, 0x7F) as \xNN in
// upper-case hexadecimal, so that a field holds no separator and no control
// byte. Bytes from 0x80 up are kept (names in UTF-8).
std::string escapeTsv(std::string_view text);

// The text escapeTsv wrote, back; false when `field` holds an escape it
// never writes.
bool unescapeTsv(std::string_view field, std::string& text);

}  // namespace trevik::inspect
