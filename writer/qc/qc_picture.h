// The two quality-control pictures of a study's projections, for a reader
// who checks by eye before trusting the frames: a one-page PNG (sinogram,
// linogram, gate count curve, centroid tracks and the verdict in words) and
// an animated GIF of the summed-gate views in acquisition order.
//
// Both are written as the montage is: through the output-file rules (a
// temporary file renamed into place), and never over a file that is not a
// picture of the same kind: an existing destination must be a regular file
// that starts with the PNG (or GIF) signature. Keeping the files inspected
// out of the way is the caller's part, as for the montage.
#pragma once

#include <string>
#include <vector>

#include "study/status.h"

namespace trevik::qc {

// What the page shows, filled from the analysis.
struct QcPicture {
    std::string title;                  // file name, patient
    int views = 0;                      // acquisition order
    int side = 64;                      // columns of a frame = rows of a frame
    std::vector<float> sinogram;        // views x side: each view's row at the heart's axial position
    std::vector<float> linogram;        // views x side: each view's rows summed across (axial profile)
    int heartRow = 0;                   // the row the sinogram shows
    std::vector<double> gatePercent;    // per division, % of the mean; empty: ungated
    double gateLowPercent = 85;         // threshold: a division below this % of the mean
    double lastToFirstPercent = 90;     // threshold: the last division below this % of the first
    std::vector<double> axial, lateral; // centroid per view, pixels (NaN where none)
    int detectors = 1;                  // views split evenly between detectors, tracked apart
    double motionPixels = 1.0;          // threshold: a jump or drift of this many pixels
    int warnView = -1;                  // the view a motion warning names (from 1), -1 none
    std::vector<std::string> facts;     // the study's facts under the title: patient, series, views ...
    std::vector<std::string> verdict;   // lines of words, the first says ok or warn
    bool warn = false;
};

// Where a line of words was drawn: its top left corner, its size in pixels
// and the scale of the font.
struct TextBox {
    std::string text;
    int x = 0, y = 0, width = 0, height = 0;
    int scale = 1;
};

// The cine's frames.
struct CineFrames {
    int views = 0, side = 64;
    std::vector<float> samples;         // views x side x side, summed over the gate divisions
    std::vector<std::string> labels;    // drawn on each view at its top left: its number and angle
    int referenceRow = -1;              // a fixed line at this row of the frame (from 0), -1 none
};

// An 8-bit RGB raster, rows top down.
struct RgbImage {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
};

// The page's size in pixels: its width, and its height at least (more
// lines of words make it taller; pageHeight gives it).
inline constexpr int kPageWidth = 1200;
inline constexpr int kPageHeight = 900;
// How many times the cine scales each view up, and how long each is shown.
inline constexpr int kCineScale = 4;
inline constexpr int kCineDelayHundredths = 10;

enum class PictureKind { Png, Gif };

// True when a picture of `kind` may be written to `path`: nothing is there,
// or a regular file that starts with that kind's signature (a PNG may
// replace a PNG, a GIF a GIF). A caller checks its names with it before it
// reads anything, as --png does; the writers below check again.
bool mayWritePicture(const char* path, PictureKind kind);

// Draws the page. Arrays shorter than the views they should cover are drawn
// as far as they go; a picture without views gets its frames empty.
// `layout`, when given, gets where each line of words was drawn, in order:
// the title, the facts, then the verdict's lines.
RgbImage drawQcPage(const QcPicture& picture, std::vector<TextBox>* layout = nullptr);
int pageHeight(const QcPicture& picture);

// Encodes the page as PNG and writes it to `path`. CannotWrite with errno
// EEXIST when something other than a PNG picture is there (left alone),
// EINVAL when the picture's sizes disagree, else the errno of the failure;
// NoMemory when memory runs out.
Status writeQcPage(const char* path, const QcPicture& picture);

// Encodes the cine as a looping GIF (greys, every view scaled to the
// study's largest sample; each view's label and the reference line in
// amber) into `gif`.
Status encodeCineGif(const CineFrames& cine, std::vector<unsigned char>& gif);

// Writes the cine to `path`, with the results writeQcPage gives (EEXIST:
// something other than a GIF picture is there).
Status writeCineGif(const char* path, const CineFrames& cine);

}  // namespace trevik::qc
