#pragma once

// The pixels of the report page: frames as shown, their differences as
// false-colour maps, thumbnails and zooms.
#include <cstdint>
#include <filesystem>
#include <vector>

#include "tools/png_image.h"
#include "tools/report.h"

namespace report {

inline constexpr uint32_t kThumbnailWidth = 320;  // full frames are shown at most this wide
inline constexpr uint32_t kZoomSize = 32;         // the zoomed region, in image pixels
inline constexpr uint32_t kZoomFactor = 4;

// An image as shown: per pixel R, G and B after the display's tone map, in [0, 1].
struct Shown {
    uint32_t width = 0, height = 0;
    std::vector<float> rgb;
};

struct Window {
    uint32_t x = 0, y = 0, size = 0;
};

Shown LoadShown(const std::filesystem::path& path, const Display& display);
RgbImage ToImage(const Shown& shown);
// Per pixel the largest difference of R, G and B.
std::vector<float> Difference(const Shown& a, const Shown& b);
// The false colour of t in [0, 1].
void Colormap(float t, uint8_t* rgb);
RgbImage Heatmap(const std::vector<float>& values, uint32_t width, uint32_t height, float scale);
RgbImage Thumbnail(const RgbImage& image, uint32_t width);
RgbImage Fitted(const RgbImage& image, uint32_t width);
Window WorstWindow(const std::vector<float>& difference, uint32_t width, uint32_t height);
RgbImage Zoom(const RgbImage& image, const Window& window);

}  // namespace report
