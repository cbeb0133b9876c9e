#pragma once

// 8-bit RGB images written and read as PNG files through libpng.
#include <cstdint>
#include <filesystem>
#include <vector>

struct RgbImage {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;  // three bytes per pixel, rows top to bottom

    RgbImage() = default;
    RgbImage(uint32_t w, uint32_t h) : width(w), height(h), rgb(static_cast<size_t>(w) * h * 3, 0) {}
    uint8_t* At(uint32_t x, uint32_t y) { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
    const uint8_t* At(uint32_t x, uint32_t y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

// Throws std::runtime_error naming the file when it cannot be written or read.
void WritePng(const std::filesystem::path& path, const RgbImage& image);
RgbImage ReadPng(const std::filesystem::path& path);
