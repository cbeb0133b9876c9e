#include "platform/kavo/features.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kavo {

namespace {

// Rounds a float into int32 range; NaN gives 0.
int32_t ToInt(float value) {
    if (!(value == value)) return 0;
    const float limited = std::clamp(value, -2147483520.0f, 2147483520.0f);
    return static_cast<int32_t>(std::lround(limited));
}

int8_t ToByte(float value) { return static_cast<int8_t>(std::clamp(ToInt(value), -128, 127)); }

Float4 InputColor(const Scratch& scratch, uint32_t width, uint32_t height, uint32_t x, uint32_t y) {
    const Half4& c = scratch.color[static_cast<size_t>(std::min(y, height - 1)) * width + std::min(x, width - 1)];
    return {c.r, c.g, c.b, c.a};
}

void LuminancePyramid(uint32_t in_w, uint32_t in_h, const Scratch& scratch, const FeatureViews& out) {
    const ImageView<float>& mean = out.luminance_pyramid[0];
    ForRows(mean.height, [&](uint32_t y) {
        for (uint32_t x = 0; x < mean.width; ++x) {
            float sum = 0, sum2 = 0;
            for (uint32_t k = 0; k < 4; ++k) {
                const Float4 c = InputColor(scratch, in_w, in_h, 2 * x + (k & 1), 2 * y + (k >> 1));
                const float l = 0.2126f * c.r + 0.7152f * c.g + 0.0722f * c.b;
                sum += l;
                sum2 += l * l;
            }
            mean.At(x, y) = sum / 4;
            out.luminance_pyramid[1].At(x, y) = std::max(0.0f, sum2 / 4 - (sum / 4) * (sum / 4));
        }
    });
}

void ClipBoxes(uint32_t in_w, uint32_t in_h, const Scratch& scratch, const FeatureViews& out) {
    const ImageView<Int4>& low = out.clip_boxes[0];
    const ImageView<Int4>& high = out.clip_boxes[1];
    ForRows(low.height, [&](uint32_t y) {
        for (uint32_t x = 0; x < low.width; ++x) {
            const bool border = x < kClipBoxPadding || y < kClipBoxPadding || x + kClipBoxPadding >= low.width ||
                                y + kClipBoxPadding >= low.height;
            if (border) {
                low.At(x, y) = high.At(x, y) = Int4{{0, 0, 0, 0}};
                continue;
            }
            float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
            for (uint32_t k = 0; k < kClipBoxTile * kClipBoxTile; ++k) {
                const Float4 c =
                    InputColor(scratch, in_w, in_h, (x - kClipBoxPadding) * kClipBoxTile + k % kClipBoxTile,
                               (y - kClipBoxPadding) * kClipBoxTile + k / kClipBoxTile);
                const float rgb[3] = {c.r, c.g, c.b};
                for (int ch = 0; ch < 3; ++ch) {
                    lo[ch] = std::min(lo[ch], rgb[ch]);
                    hi[ch] = std::max(hi[ch], rgb[ch]);
                }
            }
            low.At(x, y) = Int4{{ToInt(lo[0] * 1000), ToInt(lo[1] * 1000), ToInt(lo[2] * 1000),
                                 static_cast<int32_t>(kClipBoxTile * kClipBoxTile)}};
            high.At(x, y) = Int4{{ToInt(hi[0] * 1000), ToInt(hi[1] * 1000), ToInt(hi[2] * 1000), 0}};
        }
    });
}

// 32 signed byte channels per cell: colour, luminance and motion statistics.
void PackedFeatures(const FrameSettings& s, uint32_t in_w, uint32_t in_h, const Scratch& scratch, const DumpViews& work,
                    const FeatureViews& out) {
    const size_t cells = size_t{out.cells_x} * out.cells_y;
    for (uint32_t cy = 0; cy < out.cells_y; ++cy) {
        for (uint32_t cx = 0; cx < out.cells_x; ++cx) {
            float channel[kPackedFeatureChannels] = {};
            const uint32_t x0 = cx * kFeatureTile, y0 = cy * kFeatureTile;
            for (uint32_t k = 0; k < 16; ++k) {  // a 4x4 grid of the cell's pixels
                const uint32_t x = x0 + (k % 4) * 2, y = y0 + (k / 4) * 2;
                const Float4 c = InputColor(scratch, in_w, in_h, x, y);
                channel[k] = (0.2126f * c.r + 0.7152f * c.g + 0.0722f * c.b) * 127.0f;
                const Float2 m = work.motion_output.Clamped(x, y);
                channel[16 + k] = k < 8 ? m.x * 8.0f : m.y * 8.0f;
            }
            channel[31] = s.reset ? 127.0f : 0.0f;
            const size_t cell = size_t{cy} * out.cells_x + cx;
            for (uint32_t ch = 0; ch < kPackedFeatureChannels; ++ch) {
                const size_t slice = ch / 16;
                out.packed_features[(slice * cells + cell) * 16 + ch % 16] = static_cast<uint8_t>(ToByte(channel[ch]));
            }
        }
    }
}

void SampleCounts(const FrameSettings& s, const DumpViews& work, const FeatureViews& out) {
    const size_t cells = size_t{out.cells_x} * out.cells_y;
    for (uint32_t cy = 0; cy < out.cells_y; ++cy) {
        for (uint32_t cx = 0; cx < out.cells_x; ++cx) {
            // The accumulated history weight at the cell's centre, in hundredths.
            const uint32_t ox = static_cast<uint32_t>((cx + 0.5f) * work.history.width / out.cells_x);
            const uint32_t oy = static_cast<uint32_t>((cy + 0.5f) * work.history.height / out.cells_y);
            const float weight = static_cast<float>(work.history.Clamped(ox, oy).a);
            out.sample_counts[cy * size_t{out.cells_x} + cx] = ToInt(weight * 100.0f);
            out.sample_counts[cells + cy * size_t{out.cells_x} + cx] = s.reset ? 1 : 0;
        }
    }
}

}  // namespace

void ComputeFeatures(const FrameSettings& s, const Scratch& scratch, const DumpViews& work,
                     const FeatureViews& features) {
    const uint32_t in_w = std::max(1u, s.input_width), in_h = std::max(1u, s.input_height);
    LuminancePyramid(in_w, in_h, scratch, features);
    ClipBoxes(in_w, in_h, scratch, features);
    PackedFeatures(s, in_w, in_h, scratch, work, features);
    SampleCounts(s, work, features);
}

}  // namespace kavo
