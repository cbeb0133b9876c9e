#pragma once

#include <Imath/half.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

struct ImageSize {
    uint32_t width = 1;
    uint32_t height = 1;
};

// The decoded CPU inputs of one frame, laid out as the GPU upload copies them.
// Pixel arrays are row-major without gaps; an input that was not loaded has an
// empty array and the size 1 x 1.
struct LoadedFrame {
    ImageSize color_size;
    ImageSize velocity_size;
    ImageSize depth_size;
    ImageSize responsive_mask_size;
    std::vector<Imath::half> color;     // R, G, B, A per pixel
    std::vector<Imath::half> velocity;  // x, y per pixel
    // As decoded: the texture's 32-bit floats only as it is uploaded, which
    // halves what every queued frame keeps of its depth.
    std::vector<Imath::half> depth;
    std::array<float, 2> jitter{0.0f, 0.0f};
    float exposure = 0.0f;
    std::vector<uint8_t> responsive_mask;
    std::filesystem::path output_path;
};
