#pragma once

// Views of the library's images as the kernels see them: rows of pixels one
// row pitch apart. Reads clamp to the image, so inputs of any size are safe.
#include <Imath/half.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace kavo {

template <class Pixel>
struct ImageView {
    std::byte* data = nullptr;
    uint64_t pitch = 0;  // bytes from one row to the next
    uint32_t width = 0;
    uint32_t height = 0;

    bool empty() const { return data == nullptr || width == 0 || height == 0; }
    Pixel* Row(uint32_t y) const { return reinterpret_cast<Pixel*>(data + y * pitch); }
    Pixel& At(uint32_t x, uint32_t y) const { return Row(y)[x]; }
    // The column and row nearest to x and y, which may lie outside the image.
    uint32_t ClampedX(int64_t x) const { return static_cast<uint32_t>(std::clamp<int64_t>(x, 0, int64_t{width} - 1)); }
    uint32_t ClampedY(int64_t y) const { return static_cast<uint32_t>(std::clamp<int64_t>(y, 0, int64_t{height} - 1)); }
    [[gnu::always_inline]] const Pixel& Clamped(int64_t x, int64_t y) const { return Row(ClampedY(y))[ClampedX(x)]; }
};

struct Half4 {
    Imath::half r, g, b, a;
};
struct Half2 {
    Imath::half x, y;
};
struct Float4 {
    float r, g, b, a;
};
struct Float2 {
    float x, y;
};
struct Int4 {
    int32_t v[4];
};

// Runs body(y) for every row y below `rows`, rows spread over the workers.
template <class Body>
void ForRows(uint32_t rows, Body body) {
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, rows), [&](const tbb::blocked_range<uint32_t>& range) {
        for (uint32_t y = range.begin(); y != range.end(); ++y) body(y);
    });
}

// Packs three unsigned floats into DXGI's R11G11B10_FLOAT layout (the same
// exponent bias as a half; 6, 6 and 5 mantissa bits) straight from their
// bits: the mantissa truncated, values below the smallest normal (and NaN) 0,
// values beyond the largest normal saturated.
inline uint32_t PackR11G11B10(float r, float g, float b) {
    auto bits = [](float v, int mantissa_bits) {
        const uint32_t f = std::bit_cast<uint32_t>(v >= 0.0f ? v : 0.0f);
        const int exponent = static_cast<int>(f >> 23) - 127 + 15;
        if (exponent <= 0) return uint32_t{0};
        if (exponent >= 31) return (uint32_t{30} << mantissa_bits) | ((1u << mantissa_bits) - 1);
        const uint32_t mantissa = (f & 0x7FFFFF) >> (23 - mantissa_bits);
        return (static_cast<uint32_t>(exponent) << mantissa_bits) | mantissa;
    };
    return bits(r, 6) | (bits(g, 6) << 11) | (bits(b, 5) << 22);
}

}  // namespace kavo
