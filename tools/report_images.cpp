#include "tools/report_images.h"

#include <algorithm>
#include <cmath>

#include "run/path_text.h"
#include "scene/exr_image.h"
#include "tools/evaluation.h"

namespace fs = std::filesystem;

namespace report {

namespace {

uint8_t Srgb(float linear) {
    const float v = std::clamp(linear, 0.0f, 1.0f);
    const float encoded = v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
    return static_cast<uint8_t>(std::lround(encoded * 255.0f));
}

}  // namespace

Shown LoadShown(const fs::path& path, const Display& display) {
    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> pixels;
    ReadExrImage(PathToUtf8(path), info, pixels);
    Shown shown{info.width, info.height, {}};
    shown.rgb.reserve(static_cast<size_t>(info.width) * info.height * 3);
    for (uint32_t y = 0; y < info.height; ++y) {
        for (uint32_t x = 0; x < info.width; ++x) {
            for (const float c : {float(pixels[y][x].r), float(pixels[y][x].g), float(pixels[y][x].b)}) {
                shown.rgb.push_back(evaluation::ToneMapped(c * display.exposure));
            }
        }
    }
    return shown;
}

RgbImage ToImage(const Shown& shown) {
    RgbImage image(shown.width, shown.height);
    for (size_t i = 0; i < shown.rgb.size(); ++i) image.rgb[i] = Srgb(shown.rgb[i]);
    return image;
}

// The largest difference of the three channels, per pixel.
std::vector<float> Difference(const Shown& a, const Shown& b) {
    if (a.width != b.width || a.height != b.height) {
        throw std::runtime_error("images of " + std::to_string(a.width) + "x" + std::to_string(a.height) + " and " +
                                 std::to_string(b.width) + "x" + std::to_string(b.height) + " cannot be compared");
    }
    std::vector<float> difference(a.rgb.size() / 3);
    for (size_t i = 0; i < difference.size(); ++i) {
        difference[i] =
            std::max({std::fabs(a.rgb[3 * i] - b.rgb[3 * i]), std::fabs(a.rgb[3 * i + 1] - b.rgb[3 * i + 1]),
                      std::fabs(a.rgb[3 * i + 2] - b.rgb[3 * i + 2])});
    }
    return difference;
}

// A perceptually ordered colour scale from dark violet (0) to yellow (1).
void Colormap(float t, uint8_t* rgb) {
    static constexpr float kAnchors[][3] = {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
    const float position = std::clamp(std::isnan(t) ? 1.0f : t, 0.0f, 1.0f) * 4.0f;
    const int low = std::min(3, static_cast<int>(position));
    const float f = position - static_cast<float>(low);
    for (int c = 0; c < 3; ++c) {
        rgb[c] = static_cast<uint8_t>(std::lround(kAnchors[low][c] + f * (kAnchors[low + 1][c] - kAnchors[low][c])));
    }
}

RgbImage Heatmap(const std::vector<float>& values, uint32_t width, uint32_t height, float scale) {
    RgbImage image(width, height);
    for (size_t i = 0; i < values.size(); ++i) Colormap(scale > 0 ? values[i] / scale : 0.0f, &image.rgb[3 * i]);
    return image;
}

// Shrinks by a whole factor with box averages, so that it is at most `width` wide.
RgbImage Thumbnail(const RgbImage& image, uint32_t width) {
    const uint32_t k = std::max(1u, (image.width + width - 1) / width);
    if (k == 1) return image;
    RgbImage small(std::max(1u, image.width / k), std::max(1u, image.height / k));
    for (uint32_t y = 0; y < small.height; ++y) {
        for (uint32_t x = 0; x < small.width; ++x) {
            uint32_t sum[3] = {0, 0, 0}, count = 0;
            for (uint32_t j = 0; j < k && y * k + j < image.height; ++j) {
                for (uint32_t i = 0; i < k && x * k + i < image.width; ++i) {
                    const uint8_t* p = image.At(x * k + i, y * k + j);
                    for (int c = 0; c < 3; ++c) sum[c] += p[c];
                    ++count;
                }
            }
            for (int c = 0; c < 3; ++c) small.At(x, y)[c] = static_cast<uint8_t>(sum[c] / count);
        }
    }
    return small;
}

// Shrinks a large image to at most `width`, or enlarges a small one by a
// whole factor (nearest neighbour) to at least half of it: tiny tensors stay
// visible.
RgbImage Fitted(const RgbImage& image, uint32_t width) {
    if (image.width == 0 || image.width >= width / 2) return Thumbnail(image, width);
    const uint32_t factor = std::min(8u, (width / 2 + image.width - 1) / image.width);
    RgbImage large(image.width * factor, image.height * factor);
    for (uint32_t y = 0; y < large.height; ++y) {
        for (uint32_t x = 0; x < large.width; ++x) {
            const uint8_t* p = image.At(x / factor, y / factor);
            std::copy(p, p + 3, large.At(x, y));
        }
    }
    return large;
}

// The square of kZoomSize pixels (or the whole image, if smaller) holding the
// largest total difference.
Window WorstWindow(const std::vector<float>& difference, uint32_t width, uint32_t height) {
    const uint32_t size = std::min({kZoomSize, width, height});
    Window best{0, 0, size};
    double best_sum = -1;
    const uint32_t step = std::max(1u, size / 4);
    for (uint32_t y = 0; y + size <= height; y += step) {
        for (uint32_t x = 0; x + size <= width; x += step) {
            double sum = 0;
            for (uint32_t j = 0; j < size; ++j) {
                for (uint32_t i = 0; i < size; ++i) sum += difference[static_cast<size_t>(y + j) * width + x + i];
            }
            if (sum > best_sum) best = {x, y, size}, best_sum = sum;
        }
    }
    return best;
}

RgbImage Zoom(const RgbImage& image, const Window& window) {
    RgbImage zoomed(window.size * kZoomFactor, window.size * kZoomFactor);
    for (uint32_t y = 0; y < zoomed.height; ++y) {
        for (uint32_t x = 0; x < zoomed.width; ++x) {
            const uint8_t* p = image.At(window.x + x / kZoomFactor, window.y + y / kZoomFactor);
            std::copy(p, p + 3, zoomed.At(x, y));
        }
    }
    return zoomed;
}

}  // namespace report
