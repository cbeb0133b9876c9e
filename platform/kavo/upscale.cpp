#include "platform/kavo/upscale.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string_view>
#include <tuple>
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

// The widest vector of floats the copy computes with, how many pixels of
// four channels it holds, and loads, stores, minimum and maximum in vectors
// of its own width or narrower. Minimum and maximum return the second
// operand where neither is less, as _mm_min_ps and _mm_max_ps do.
using WideFloats = __m128;
constexpr size_t kPixelsAtOnce = 1;
template <class Vector>
inline Vector LoadFloats(const float* p) {
    return _mm_loadu_ps(p);
}
template <class Vector>
inline Vector LoadHalves(const Half4* p) {
    return LoadHalf4(*p);
}
inline void StoreFloats(float* p, __m128 v) { _mm_storeu_ps(p, v); }
inline __m128 MinOf(__m128 a, __m128 b) { return _mm_min_ps(a, b); }
inline __m128 MaxOf(__m128 a, __m128 b) { return _mm_max_ps(a, b); }

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

using WideFloats = __m256;
constexpr size_t kPixelsAtOnce = 2;
template <class Vector>
inline Vector LoadFloats(const float* p) {
    if constexpr (sizeof(Vector) == sizeof(__m256)) {
        return _mm256_loadu_ps(p);
    } else {
        return _mm_loadu_ps(p);
    }
}
template <class Vector>
inline Vector LoadHalves(const Half4* p) {
    if constexpr (sizeof(Vector) == sizeof(__m256)) {
        return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    } else {
        return LoadHalf4(*p);
    }
}
inline void StoreFloats(float* p, __m128 v) { _mm_storeu_ps(p, v); }
inline void StoreFloats(float* p, __m256 v) { _mm256_storeu_ps(p, v); }
inline __m128 MinOf(__m128 a, __m128 b) { return _mm_min_ps(a, b); }
inline __m256 MinOf(__m256 a, __m256 b) { return _mm256_min_ps(a, b); }
inline __m128 MaxOf(__m128 a, __m128 b) { return _mm_max_ps(a, b); }
inline __m256 MaxOf(__m256 a, __m256 b) { return _mm256_max_ps(a, b); }

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

void MakeDumpViews(const FrameSettings& settings, const FrameState& state, Scratch& scratch, const DumpViews& dump) {
    (use_avx2 ? avx2::MakeDumpViews : portable::MakeDumpViews)(settings, state, scratch, dump);
}

}  // namespace kavo
