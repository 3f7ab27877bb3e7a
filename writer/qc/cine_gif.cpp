// The cine: the summed-gate views in acquisition order as a looping
// animated GIF, each view scaled up four times (nearest neighbour).
//
// Every view is drawn on the study's scale (black at zero, white at the
// study's largest sample), not on its own: a view that lost counts or a
// stretch of views with the heart moved out of the field then shows as
// darker, as it is, where a scale per view would brighten it back and hide
// it; the views' own rise and fall of counts with the attenuation is what a
// reader expects to see.
#include <gif_lib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <new>
#include <string>

#include "writer/qc/canvas.h"
#include "writer/qc/picture_file.h"
#include "writer/qc/qc_picture.h"

namespace trevik::qc {

namespace {

int appendBytes(GifFileType* gif, const GifByteType* bytes, int length) {
    auto* out = static_cast<std::vector<unsigned char>*>(gif->UserData);
    try {
        out->insert(out->end(), bytes, bytes + length);
    } catch (const std::bad_alloc&) {
        return 0;  // giflib reports a failed write, and the encoding fails
    }
    return length;
}

struct PaletteFree {
    void operator()(ColorMapObject* palette) const { GifFreeMapObject(palette); }
};

struct GifCloser {
    void operator()(GifFileType* gif) const {
        int error = 0;
        EGifCloseFile(gif, &error);
    }
};

// The loop: the application extension that asks viewers to repeat the
// frames for ever (a count of 0).
bool putLoop(GifFileType* gif) {
    static const GifByteType kName[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
    static const GifByteType kForever[] = {1, 0, 0};
    return EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
           EGifPutExtensionBlock(gif, sizeof kName, kName) == GIF_OK &&
           EGifPutExtensionBlock(gif, sizeof kForever, kForever) == GIF_OK && EGifPutExtensionTrailer(gif) == GIF_OK;
}

// The greys take the palette's entries 0 to kGreys; the one after is the
// colour of the words and the reference line.
constexpr int kGreys = 254;
constexpr GifByteType kMark = kGreys + 1;

// The view's label at its top left, on black, and the reference line across
// the frame at `referenceRow` (dashed, so that what lies under it shows).
void mark(std::vector<GifByteType>& frame, int width, const std::string& label, int referenceRow) {
    const auto put = [&](int x, int y, GifByteType value) {
        if (x >= 0 && y >= 0 && x < width && y < width) frame[static_cast<std::size_t>(y * width + x)] = value;
    };
    if (referenceRow >= 0 && referenceRow * kCineScale < width) {
        const int y = referenceRow * kCineScale + kCineScale / 2;
        for (int x = 0; x < width; ++x)
            if (x % 8 < 5) put(x, y, kMark);
    }
    if (label.empty()) return;
    const int chars = std::min(static_cast<int>(label.size()), (width - 4) / kGlyphWidth);
    for (int y = 0; y < kGlyphHeight + 2; ++y)
        for (int x = 0; x < chars * kGlyphWidth + 3; ++x) put(x, y, 0);
    for (int i = 0; i < chars; ++i)
        for (int row = 0; row < 9; ++row)
            for (int column = 0; column < 5; ++column)
                if (glyphBit(static_cast<unsigned char>(label[static_cast<std::size_t>(i)]), row, column))
                    put(2 + i * kGlyphWidth + column, 2 + row, kMark);
}

bool putView(GifFileType* gif, const float* view, int side, float high, const std::string& label, int referenceRow,
             std::vector<GifByteType>& line) {
    GraphicsControlBlock control{};
    control.DisposalMode = DISPOSE_DO_NOT;
    control.UserInputFlag = false;
    control.DelayTime = kCineDelayHundredths;
    control.TransparentColor = NO_TRANSPARENT_COLOR;
    GifByteType extension[4];
    const std::size_t length = EGifGCBToExtension(&control, extension);
    const int width = side * kCineScale;
    if (EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension) != GIF_OK ||
        EGifPutImageDesc(gif, 0, 0, width, width, false, nullptr) != GIF_OK)
        return false;
    std::vector<GifByteType>& frame = line;
    frame.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(width), 0);
    for (int row = 0; row < width; ++row) {
        const float* samples = view + static_cast<std::size_t>(row / kCineScale) * static_cast<std::size_t>(side);
        for (int x = 0; x < width; ++x) {
            const float v = samples[x / kCineScale];
            // NaN and negative samples are black.
            const float t = high > 0 && v > 0 ? std::min(v / high, 1.0F) : 0.0F;
            frame[static_cast<std::size_t>(row * width + x)] = static_cast<GifByteType>(std::lround(t * kGreys));
        }
    }
    mark(frame, width, label, referenceRow);
    for (int row = 0; row < width; ++row)
        if (EGifPutLine(gif, &frame[static_cast<std::size_t>(row * width)], width) != GIF_OK) return false;
    return true;
}

}  // namespace

Status encodeCineGif(const CineFrames& cine, std::vector<unsigned char>& gif) {
    gif.clear();
    // The GIF's sides are 16 bits; 64 x 64 and 128 x 128 frames are what
    // the studies hold.
    if (cine.views < 1 || cine.side < 1 || cine.side * kCineScale > 4096 ||
        cine.samples.size() != static_cast<std::size_t>(cine.views) * static_cast<std::size_t>(cine.side) *
                                    static_cast<std::size_t>(cine.side))
        return detail::invalidPicture();
    try {
        float high = 0;
        for (const float v : cine.samples)
            if (v > high) high = v;  // NaN compares false
        const std::unique_ptr<ColorMapObject, PaletteFree> palette(GifMakeMapObject(256, nullptr));
        if (!palette) return statusOf(Reason::NoMemory);
        for (int k = 0; k <= kGreys; ++k) {
            const auto grey = static_cast<GifByteType>(std::lround(k * 255.0 / kGreys));
            palette->Colors[k] = GifColorType{grey, grey, grey};
        }
        palette->Colors[kMark] = GifColorType{255, 200, 0};
        int error = 0;
        bool ok = true;
        {
            std::unique_ptr<GifFileType, GifCloser> file(EGifOpen(&gif, appendBytes, &error));
            const int width = cine.side * kCineScale;
            std::vector<GifByteType> line(static_cast<std::size_t>(width));
            // The loop and the delays are GIF89a extensions.
            if (file) EGifSetGifVersion(file.get(), true);
            ok = file && EGifPutScreenDesc(file.get(), width, width, 8, 0, palette.get()) == GIF_OK && putLoop(file.get());
            const std::size_t frame = static_cast<std::size_t>(cine.side) * static_cast<std::size_t>(cine.side);
            for (int v = 0; ok && v < cine.views; ++v)
                ok = putView(file.get(), cine.samples.data() + static_cast<std::size_t>(v) * frame, cine.side, high,
                             static_cast<std::size_t>(v) < cine.labels.size() ? cine.labels[static_cast<std::size_t>(v)] : std::string(),
                             cine.referenceRow, line);
            if (ok) {
                // Closing writes the trailer; its failure is the encoding's.
                ok = EGifCloseFile(file.release(), &error) == GIF_OK;
            }
        }
        if (!ok) {
            gif.clear();
            return statusOf(Reason::NoMemory);
        }
        return statusOf(Reason::Done);
    } catch (const std::bad_alloc&) {
        gif.clear();
        return statusOf(Reason::NoMemory);
    }
}

Status writeCineGif(const char* path, const CineFrames& cine) {
    try {
        std::vector<unsigned char> gif;
        if (Status s = encodeCineGif(cine, gif); !s.ok()) return s;
        return detail::writePicture(path, gif, PictureKind::Gif);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

}  // namespace trevik::qc
