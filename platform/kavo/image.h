#pragma once

// Views of the library's images as the kernels see them: rows of pixels one
// row pitch apart. Reads clamp to the image, so inputs of any size are safe.
#include <Imath/half.h>

#include <algorithm>
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
    // The pixel nearest to (x, y), which may lie outside the image.
    const Pixel& Clamped(int64_t x, int64_t y) const {
        const auto cx = static_cast<uint32_t>(std::clamp<int64_t>(x, 0, int64_t{width} - 1));
        const auto cy = static_cast<uint32_t>(std::clamp<int64_t>(y, 0, int64_t{height} - 1));
        return Row(cy)[cx];
    }
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

// Packs an unsigned float into DXGI's R11G11B10_FLOAT layout (same exponent
// bias as a half; 6, 6 and 5 mantissa bits).
uint32_t PackR11G11B10(float r, float g, float b);

}  // namespace kavo
