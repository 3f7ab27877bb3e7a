#include "app/inspect/montage.h"

#include <algorithm>
#include <cstring>

#include "study/study.h"

namespace trevik::inspect {

namespace {

constexpr int kSide = FrameStore::kSide;
constexpr unsigned char kBackground[3] = {28, 36, 88};  // gaps and missing frames

}  // namespace

Montage montageOf(int divisions, int frames, const std::function<const std::int16_t*(int d, int i)>& frameAt) {
    int low = 32767;
    int high = -32768;
    bool any = false;
    for (int d = 0; d < divisions; ++d)
        for (int i = 0; i < frames; ++i)
            if (const std::int16_t* f = frameAt(d, i)) {
                any = true;
                const auto [lo, hi] = std::minmax_element(f, f + FrameStore::kFrameSamples);
                low = std::min<int>(low, *lo);
                high = std::max<int>(high, *hi);
            }
    Montage m;
    if (!any) return m;
    m.width = frames * (kSide + kMontageGap) + kMontageGap;
    m.height = divisions * (kSide + kMontageGap) + kMontageGap;
    m.rgb.resize(static_cast<std::size_t>(m.width) * static_cast<std::size_t>(m.height) * 3);
    for (std::size_t p = 0; p < m.rgb.size(); p += 3) std::memcpy(&m.rgb[p], kBackground, 3);
    const int span = high - low;
    for (int d = 0; d < divisions; ++d)
        for (int i = 0; i < frames; ++i) {
            const std::int16_t* f = frameAt(d, i);
            if (!f) continue;
            const int left = kMontageGap + i * (kSide + kMontageGap);
            const int top = kMontageGap + d * (kSide + kMontageGap);
            for (int y = 0; y < kSide; ++y) {
                unsigned char* out =
                    &m.rgb[(static_cast<std::size_t>(top + y) * static_cast<std::size_t>(m.width) +
                            static_cast<std::size_t>(left)) * 3];
                for (int x = 0; x < kSide; ++x) {
                    const int v = f[y * kSide + x];
                    const auto grey = static_cast<unsigned char>(span > 0 ? ((v - low) * 255 + span / 2) / span : 128);
                    *out++ = grey;
                    *out++ = grey;
                    *out++ = grey;
                }
            }
        }
    return m;
}

}  // namespace trevik::inspect
