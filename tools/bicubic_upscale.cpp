// The spatial upscale the upscaler is measured against: Catmull-Rom from the
// jittered samples' true positions.
#include "tools/evaluation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>

#include "run/path_text.h"
#include "scene/exr_image.h"
#include "scene/frame_decoding.h"

namespace fs = std::filesystem;

namespace evaluation {

namespace {

// Catmull-Rom weights of the four taps around a position at fraction t.
void CatmullRom(double t, double w[4]) {
    const double t2 = t * t, t3 = t2 * t;
    w[0] = 0.5 * (-t3 + 2 * t2 - t);
    w[1] = 0.5 * (3 * t3 - 5 * t2 + 2);
    w[2] = 0.5 * (-3 * t3 + 4 * t2 + t);
    w[3] = 0.5 * (t3 - t2);
}

// Input index and weights of the four samples around output position `o`.
struct Taps {
    int64_t first = 0;
    double weights[4] = {};
};

Taps TapsAt(uint32_t o, uint32_t in_size, uint32_t out_size, float jitter) {
    // Sample i was taken at i + 0.5 + jitter, in input pixels.
    const double u = (o + 0.5) * in_size / out_size - 0.5 - jitter;
    const double base = std::floor(u);
    Taps taps;
    taps.first = static_cast<int64_t>(base) - 1;
    CatmullRom(u - base, taps.weights);
    return taps;
}

}  // namespace

void BicubicUpscale(const std::string& color, const std::string& jitter, bool raw_jitter, uint32_t width,
                    uint32_t height, const std::string& output) {
    fs::create_directories(output);
    for (const std::string& name : ExrNames(color)) {
        ExrImageInfo info;
        Imf::Array2D<Imf::Rgba> in;
        ReadExrImage(PathToUtf8(fs::path(color) / name), info, in);
        const Imf::Rgba first = ReadFirstExrPixel(PathToUtf8(fs::path(jitter) / name));
        const std::array<float, 2> offset = DecodeJitter(first.r, first.g, first.b, raw_jitter);
        std::vector<Taps> columns, rows;
        for (uint32_t x = 0; x < width; ++x) columns.push_back(TapsAt(x, info.width, width, offset[0]));
        for (uint32_t y = 0; y < height; ++y) rows.push_back(TapsAt(y, info.height, height, offset[1]));
        auto at = [&](int64_t x, int64_t y) -> const Imf::Rgba& {
            return in[std::clamp<int64_t>(y, 0, info.height - 1)][std::clamp<int64_t>(x, 0, info.width - 1)];
        };
        Imf::Array2D<Imf::Rgba> out(height, width);
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                double sum[3] = {0, 0, 0};
                for (int j = 0; j < 4; ++j) {
                    for (int i = 0; i < 4; ++i) {
                        const Imf::Rgba& pixel = at(columns[x].first + i, rows[y].first + j);
                        const double w = columns[x].weights[i] * rows[y].weights[j];
                        sum[0] += w * pixel.r;
                        sum[1] += w * pixel.g;
                        sum[2] += w * pixel.b;
                    }
                }
                // The cubic overshoots at edges; light is never negative.
                out[y][x] =
                    Imf::Rgba(static_cast<float>(std::max(sum[0], 0.0)), static_cast<float>(std::max(sum[1], 0.0)),
                              static_cast<float>(std::max(sum[2], 0.0)), 1.0f);
            }
        }
        WriteExrImage(PathToUtf8(fs::path(output) / name), {.width = width, .height = height}, out,
                      Imf::PIZ_COMPRESSION);
    }
}

}  // namespace evaluation
