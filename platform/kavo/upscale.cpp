#include "platform/kavo/upscale.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <type_traits>
#include <utility>

// The passes are compiled twice from one source: once for any x86-64
// processor and once for processors with AVX2 and F16C, chosen when the
// library loads. Every function of the second copy is compiled for those
// instructions, the helpers of the standard library it inlines included, so
// the copies must give the same bits: nothing fuses a multiply and an add
// (the library is built without contraction), and F16C rounds to the nearest
// even half as Imath does.

namespace kavo {

namespace portable {

inline void StoreHalf4(Half4& out, __m128 rgba) {
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, rgba);
    out = {Imath::half(lanes[0]), Imath::half(lanes[1]), Imath::half(lanes[2]), Imath::half(lanes[3])};
}

inline __m128 LoadHalf4(const Half4& pixel) { return _mm_setr_ps(pixel.r, pixel.g, pixel.b, pixel.a); }

// Widens `low` and `high` to the channels' range over four pixels in a row.
inline void WidenToRangeOfFour(const Half4* pixels, __m128& low, __m128& high) {
    for (int i = 0; i < 4; ++i) {
        const __m128 c = LoadHalf4(pixels[i]);
        low = _mm_min_ps(low, c);
        high = _mm_max_ps(high, c);
    }
}

#include "platform/kavo/upscale_passes.inc"

}  // namespace portable

#pragma GCC push_options
#pragma GCC target("avx2,f16c")

namespace avx2 {

inline void StoreHalf4(Half4& out, __m128 rgba) {
    const __m128i halves = _mm_cvtps_ph(rgba, _MM_FROUND_TO_NEAREST_INT);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&out), halves);
}

inline __m128 LoadHalf4(const Half4& pixel) {
    return _mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&pixel)));
}

// The same, two pixels to a vector. Minimum and maximum are exact and the
// history holds no NaN, so the range is the portable one's whatever the
// order.
inline void WidenToRangeOfFour(const Half4* pixels, __m128& low, __m128& high) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 2));
    const __m256 a = _mm256_cvtph_ps(first), b = _mm256_cvtph_ps(second);
    const __m256 lows = _mm256_min_ps(a, b), highs = _mm256_max_ps(a, b);
    low = _mm_min_ps(low, _mm_min_ps(_mm256_castps256_ps128(lows), _mm256_extractf128_ps(lows, 1)));
    high = _mm_max_ps(high, _mm_max_ps(_mm256_castps256_ps128(highs), _mm256_extractf128_ps(highs, 1)));
}

#include "platform/kavo/upscale_passes.inc"

}  // namespace avx2

#pragma GCC pop_options

namespace {

// KAVO_INSTRUCTIONS=portable keeps the portable passes on any processor, so
// that the two copies can be compared on one machine.
bool UseAvx2() {
    const char* setting = std::getenv("KAVO_INSTRUCTIONS");
    if (setting != nullptr && std::string_view(setting) == "portable") return false;
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c");
}

const bool use_avx2 = UseAvx2();

}  // namespace

void UpscaleFrame(const FrameSettings& settings, const FrameInputs& inputs, const FrameState& state, Scratch& scratch,
                  const ImageView<Half4>& output) {
    (use_avx2 ? avx2::UpscaleFrame : portable::UpscaleFrame)(settings, inputs, state, scratch, output);
}

void MakeDumpViews(const FrameSettings& settings, const FrameState& state, const Scratch& scratch,
                   const DumpViews& dump) {
    (use_avx2 ? avx2::MakeDumpViews : portable::MakeDumpViews)(settings, state, scratch, dump);
}

}  // namespace kavo
