// The reference upscaler's passes on CPU images, without a device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/kavo/upscale.h"

namespace {

template <class Pixel>
kavo::ImageView<Pixel> ViewOf(std::vector<std::remove_const_t<Pixel>>& pixels, uint32_t width, uint32_t height) {
    return {reinterpret_cast<std::byte*>(pixels.data()), uint64_t{width} * sizeof(Pixel), width, height};
}

kavo::Half4 Half(const kavo::Float4& c) {
    return {Imath::half(c.r), Imath::half(c.g), Imath::half(c.b), Imath::half(c.a)};
}

// One frame at input resolution, upscaled 1:1 after a reset.
struct Frame {
    uint32_t width, height;              // the input
    uint32_t depth_width, depth_height;  // the depth and velocity images, from (base_x, base_y) on
    uint32_t base_x = 0, base_y = 0;
    bool inverted = false;
    float jitter_x = 0, jitter_y = 0;
    std::vector<kavo::Half4> color = std::vector<kavo::Half4>(size_t{width} * height);
    std::vector<kavo::Half2> velocity = std::vector<kavo::Half2>(size_t{depth_width} * depth_height);
    std::vector<float> depth = std::vector<float>(size_t{depth_width} * depth_height, 0.5f);
    kavo::Scratch scratch;
    // The last frame's history; empty: a reset. Its depth is this frame's.
    std::vector<kavo::Half4> history_before{};
    std::vector<float> depth_before{};        // the last frame's depth; empty: this frame's
    std::vector<kavo::Float4> reprojected{};  // the history as this frame fetched it
    std::vector<kavo::Half4> history{};       // the history this frame leaves
    std::vector<float> weights{};             // this frame's samples' weight at each pixel
    std::vector<kavo::Half4> output{};

    // Returns the dilated motion.
    std::vector<kavo::Float2> Run() {
        kavo::FrameSettings s;
        s.input_width = width;
        s.input_height = height;
        s.depth_base_x = s.velocity_base_x = base_x;
        s.depth_base_y = s.velocity_base_y = base_y;
        s.has_depth = true;
        s.inverted_depth = inverted;
        s.jitter_x = jitter_x;
        s.jitter_y = jitter_y;
        s.reset = history_before.empty();
        const size_t pixels = size_t{width} * height;
        history_before.resize(pixels);
        history.resize(pixels);
        std::vector<kavo::Float2> motion(pixels), shading_before(pixels), shading(pixels);
        if (depth_before.empty()) depth_before.assign(depth.begin(), depth.begin() + pixels);
        std::vector<float> kept_depth(pixels);
        output.resize(pixels);
        const kavo::FrameInputs inputs{ViewOf<const kavo::Half4>(color, width, height),
                                       ViewOf<const kavo::Half2>(velocity, depth_width, depth_height),
                                       ViewOf<const float>(depth, depth_width, depth_height),
                                       {}};
        const kavo::FrameState state{ViewOf<const kavo::Half4>(history_before, width, height),
                                     ViewOf<kavo::Half4>(history, width, height),
                                     ViewOf<kavo::Float2>(motion, width, height),
                                     ViewOf<const float>(depth_before, width, height),
                                     ViewOf<float>(kept_depth, width, height),
                                     ViewOf<const kavo::Float2>(shading_before, width, height),
                                     ViewOf<kavo::Float2>(shading, width, height)};
        kavo::UpscaleFrame(s, inputs, state, scratch, ViewOf<kavo::Half4>(output, width, height));
        reprojected.resize(pixels);
        std::vector<kavo::Half4> dumped_history(pixels);
        weights.resize(pixels);
        std::vector<uint32_t> packed(pixels);
        std::vector<kavo::Half2> dumped_motion(pixels);
        std::vector<kavo::Float2> motion_output(pixels);
        std::vector<Imath::half> luminance(pixels);
        kavo::MakeDumpViews(s, state, scratch,
                            {ViewOf<kavo::Half4>(dumped_history, width, height),
                             ViewOf<kavo::Float4>(reprojected, width, height),
                             ViewOf<float>(weights, width, height),
                             ViewOf<uint32_t>(packed, width, height),
                             {},
                             ViewOf<kavo::Half2>(dumped_motion, width, height),
                             ViewOf<kavo::Float2>(motion_output, width, height),
                             ViewOf<Imath::half>(luminance, width, height)});
        return motion;
    }
};

// A frame whose depth has equally near pixels at `near` before a farther
// background, and whose motion tells every pixel apart: (x, y) at (x, y).
struct Dilation {
    uint32_t width, height, depth_width, depth_height, base_x, base_y;
    bool inverted;

    std::vector<kavo::Float2> Run(const std::vector<std::pair<uint32_t, uint32_t>>& near) const {
        Frame frame{width, height, depth_width, depth_height, base_x, base_y, inverted};
        std::fill(frame.depth.begin(), frame.depth.end(), inverted ? 0.2f : 0.8f);
        for (const auto& [x, y] : near) frame.depth[size_t{y} * depth_width + x] = inverted ? 0.9f : 0.1f;
        for (uint32_t y = 0; y < depth_height; ++y) {
            for (uint32_t x = 0; x < depth_width; ++x) {
                frame.velocity[size_t{y} * depth_width + x] = {Imath::half(float(x)), Imath::half(float(y))};
            }
        }
        return frame.Run();
    }
};

// Every pixel within one pixel of the nearer surface (in the depth image)
// moves with it; every other pixel keeps its own motion, as equally far
// neighbours leave the centre its own. Sizes and offsets put the surface
// at every place of a row: its ends, and each lane of a group of pixels.
TEST(UpscalePasses, MotionIsTakenFromTheNearestSurfaceAround) {
    const Dilation cases[] = {
        {13, 4, 13, 4, 0, 0, false}, {13, 4, 13, 4, 0, 0, true}, {9, 3, 12, 6, 2, 1, false},
        {5, 3, 5, 3, 0, 0, false},   {1, 1, 1, 1, 0, 0, false},  {7, 2, 9, 2, 1, 0, true},
    };
    for (const Dilation& c : cases) {
        for (uint32_t near_y = c.base_y; near_y < c.base_y + c.height; ++near_y) {
            for (uint32_t near_x = c.base_x; near_x < c.base_x + c.width; ++near_x) {
                SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " from " +
                             std::to_string(c.base_x) + "," + std::to_string(c.base_y) + ", near at " +
                             std::to_string(near_x) + "," + std::to_string(near_y) + (c.inverted ? ", inverted" : ""));
                const std::vector<kavo::Float2> motion = c.Run({{near_x, near_y}});
                for (uint32_t y = 0; y < c.height; ++y) {
                    for (uint32_t x = 0; x < c.width; ++x) {
                        const uint32_t dx = c.base_x + x, dy = c.base_y + y;
                        const bool beside =
                            dx + 1 >= near_x && dx <= near_x + 1 && dy + 1 >= near_y && dy <= near_y + 1;
                        const kavo::Float2 expected{float(beside ? near_x : dx), float(beside ? near_y : dy)};
                        const kavo::Float2 got = motion[size_t{y} * c.width + x];
                        ASSERT_TRUE(got.x == expected.x && got.y == expected.y)
                            << "pixel " << x << "," << y << " moved " << got.x << "," << got.y;
                    }
                }
            }
        }
    }
}

// The shading measures are means of the luminance over square windows of
// radius 3 and 1, the image's edge repeated beyond it, whatever the size:
// narrower and wider than the groups of rows and columns filtered together.
TEST(UpscalePasses, ShadingMeansAverageTheWindowAroundEachPixel) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {3, 2}, {13, 11}, {70, 9}, {9, 70}};
    for (const auto& [width, height] : sizes) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        Frame frame{width, height, width, height};
        for (size_t i = 0; i < frame.color.size(); ++i) {
            const float v = static_cast<float>((i * 7919) % 101) / 100.0f;
            frame.color[i] = {Imath::half(v), Imath::half(1.0f - v), Imath::half(0.5f), Imath::half(1.0f)};
        }
        frame.Run();
        const std::vector<float>& luma = frame.scratch.color_luma;
        ASSERT_EQ(luma.size(), size_t{width} * height);
        for (const auto& [means, radius] : {std::pair{0, 3}, std::pair{2, 1}}) {
            const std::vector<float>& got = frame.scratch.shading[means];
            for (int64_t y = 0; y < height; ++y) {
                for (int64_t x = 0; x < width; ++x) {
                    double sum = 0;
                    for (int64_t j = y - radius; j <= y + radius; ++j) {
                        for (int64_t i = x - radius; i <= x + radius; ++i) {
                            sum += luma[std::clamp<int64_t>(j, 0, height - 1) * width +
                                        std::clamp<int64_t>(i, 0, width - 1)];
                        }
                    }
                    const double expected = sum / ((2 * radius + 1) * (2 * radius + 1));
                    ASSERT_NEAR(got[y * width + x], expected, 1e-5) << "radius " << radius << " at " << x << "," << y;
                }
            }
        }
    }
}

// A frame whose last history is `history_of(x, y)` and whose every pixel
// moved by (dx, dy): returns the history as the frame fetched it.
template <class HistoryOf>
std::vector<kavo::Float4> Reprojected(uint32_t width, uint32_t height, float dx, float dy, HistoryOf history_of) {
    Frame frame{width, height, width, height};
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const kavo::Float4 h = history_of(x, y);
            frame.history_before.push_back(Half(h));
            frame.color[size_t{y} * width + x] = {Imath::half(h.r), Imath::half(h.g), Imath::half(h.b),
                                                  Imath::half(1.0f)};
            frame.velocity[size_t{y} * width + x] = {Imath::half(dx), Imath::half(dy)};
        }
    }
    frame.Run();
    return frame.reprojected;
}

// Resampling the history at any fraction of a pixel reproduces a constant
// and a linear ramp: repeated every frame of a slow pan, it may blur but
// never moves the picture. Away from the image's edge, in both directions.
TEST(UpscalePasses, HistoryResampledAtAnyOffsetKeepsALinearRamp) {
    constexpr uint32_t kWidth = 40, kHeight = 32, kMargin = 8;
    const float offsets[] = {0.0f, 0.125f, 0.25f, 0.5f, 0.75f, 0.9375f, -0.3125f, -1.625f, 2.375f};
    struct Ramp {
        float constant, along_x, along_y;
    };
    // Every value of these ramps at a pixel's centre is exact in half precision.
    const Ramp ramps[] = {
        {0.5f, 0, 0}, {0.125f, 1 / 64.0f, 0}, {0.75f, 0, -1 / 64.0f}, {0.0625f, 1 / 128.0f, 3 / 256.0f}};
    for (const Ramp& ramp : ramps) {
        auto value = [&](float x, float y) { return ramp.constant + ramp.along_x * x + ramp.along_y * y; };
        for (const float dx : offsets) {
            for (const float dy : {0.0f, 0.375f, -0.6875f}) {
                SCOPED_TRACE("ramp " + std::to_string(ramp.along_x) + "," + std::to_string(ramp.along_y) + ", offset " +
                             std::to_string(dx) + "," + std::to_string(dy));
                const std::vector<kavo::Float4> got = Reprojected(kWidth, kHeight, dx, dy, [&](uint32_t x, uint32_t y) {
                    const float v = value(x + 0.5f, y + 0.5f);
                    return kavo::Float4{v, 0.5f * v, 0.25f + v, 4.0f};
                });
                for (uint32_t y = kMargin; y < kHeight - kMargin; ++y) {
                    for (uint32_t x = kMargin; x < kWidth - kMargin; ++x) {
                        const float expected = value(x + 0.5f + dx, y + 0.5f + dy);
                        const kavo::Float4& h = got[size_t{y} * kWidth + x];
                        ASSERT_NEAR(h.r, expected, 2e-5f) << x << "," << y;
                        ASSERT_NEAR(h.g, 0.5f * expected, 2e-5f) << x << "," << y;
                        ASSERT_NEAR(h.b, 0.25f + expected, 2e-5f) << x << "," << y;
                        ASSERT_NEAR(h.a, 4.0f, 2e-5f) << x << "," << y;
                    }
                }
            }
        }
    }
}

// Moved by whole pixels, any picture is fetched as it was, up to its edges:
// a still scene keeps its history untouched frame after frame.
TEST(UpscalePasses, HistoryMovedByWholePixelsIsFetchedAsItWas) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{40, 32}, {5, 3}, {1, 1}};
    const std::pair<int, int> offsets[] = {{0, 0}, {1, -2}, {-3, 1}};
    for (const auto& [width, height] : sizes) {
        for (const auto& [dx, dy] : offsets) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + ", offset " + std::to_string(dx) + "," +
                         std::to_string(dy));
            auto picture = [](int64_t x, int64_t y) {
                const float v = static_cast<float>((x * 7919 + y * 104729) % 101) / 128.0f;  // exact in half
                return kavo::Float4{v, 1.0f - v, 0.5f * v, 3.0f};
            };
            const std::vector<kavo::Float4> got =
                Reprojected(width, height, float(dx), float(dy), [&](uint32_t x, uint32_t y) { return picture(x, y); });
            for (int64_t y = 0; y < height; ++y) {
                for (int64_t x = 0; x < width; ++x) {
                    if (x + dx < 0 || x + dx >= width || y + dy < 0 || y + dy >= height) continue;
                    const kavo::Float4 expected = picture(x + dx, y + dy), h = got[y * width + x];
                    ASSERT_NEAR(h.r, expected.r, 1e-6f) << x << "," << y;
                    ASSERT_NEAR(h.g, expected.g, 1e-6f) << x << "," << y;
                    ASSERT_NEAR(h.b, expected.b, 1e-6f) << x << "," << y;
                }
            }
        }
    }
}

// Where this frame's depth is not the depth its history was made at (an
// object moved away and uncovered the background), the history gives way
// at once: the first frame shows what this frame's samples show there.
TEST(UpscalePasses, AnUncoveredSurfaceShowsThisFramesColourAtOnce) {
    constexpr uint32_t kWidth = 24, kHeight = 16;
    struct Case {
        float depth_before;  // where the history was made, over the whole frame
        bool uncovered;
    };
    for (const Case c : {Case{0.9f, true}, Case{0.2f, true}, Case{0.5f, false}, Case{0.52f, false}}) {
        SCOPED_TRACE("depth before " + std::to_string(c.depth_before));
        Frame frame{kWidth, kHeight, kWidth, kHeight};
        frame.history_before.assign(size_t{kWidth} * kHeight, Half(kavo::Float4{0.8f, 0.1f, 0.1f, 12.0f}));
        frame.depth_before.assign(size_t{kWidth} * kHeight, c.depth_before);
        for (size_t i = 0; i < frame.color.size(); ++i) {
            const float v = static_cast<float>(i % 7) / 10.0f + 0.1f;
            frame.color[i] = {Imath::half(0.1f), Imath::half(v), Imath::half(0.4f), Imath::half(1.0f)};
        }
        frame.Run();
        double worst = 0;
        for (size_t i = 0; i < frame.output.size(); ++i) {
            worst = std::max(worst, std::fabs(double(frame.output[i].r) - 0.1));
        }
        if (c.uncovered) {
            EXPECT_LT(worst, 0.01) << "the history's red stays on the uncovered surface";
        } else {
            EXPECT_GT(worst, 0.05) << "the same surface keeps its history";
        }
    }
}

}  // namespace

// A pixel that moves keeps at most a light history, as each resampling
// blurs it; only one that does not move along either axis keeps it whole.
TEST(UpscalePasses, OnlyAStillPixelKeepsAHeavyHistory) {
    constexpr uint32_t kWidth = 24, kHeight = 16;
    struct Case {
        float dx, dy;
        bool still;
    };
    for (const Case c : {Case{0, 0, true}, Case{0.25f, 0, false}, Case{0, -0.25f, false}, Case{0.25f, 0.25f, false}}) {
        SCOPED_TRACE(std::to_string(c.dx) + "," + std::to_string(c.dy));
        Frame frame{kWidth, kHeight, kWidth, kHeight};
        const kavo::Float4 grey{0.4f, 0.4f, 0.4f, 12.0f};
        frame.history_before.assign(size_t{kWidth} * kHeight, Half(grey));
        std::fill(frame.color.begin(), frame.color.end(), Half({0.4f, 0.4f, 0.4f, 1.0f}));
        std::fill(frame.velocity.begin(), frame.velocity.end(), kavo::Half2{Imath::half(c.dx), Imath::half(c.dy)});
        frame.Run();
        const float weight = frame.history[size_t{kHeight / 2} * kWidth + kWidth / 2].a;
        if (c.still) {
            EXPECT_EQ(weight, 12.0f);
        } else {
            EXPECT_LT(weight, 4.0f);
        }
    }
}

// Where content enters during a pan, the pixels at the entering edge have
// no history: beyond the centres of the last frame's outermost pixels
// nothing was seen. This frame's samples there, beyond the last frame's
// picture, are compared with the history at its edge, not with nothing,
// which would read as darkness; and a pixel at the edge has fewer samples
// around it than one inside, never the edge's sample twice.
TEST(UpscalePasses, ContentEnteringAtAnEdgeHasNoHistory) {
    constexpr uint32_t kWidth = 24, kHeight = 16;
    struct Case {
        float dx, dy;                   // the motion, pointing back to the last frame
        uint32_t entering_x, inside_x;  // a column at the entering edge, and one inside
        uint32_t entering_y, inside_y;
    };
    for (const Case c : {Case{0.25f, 0, kWidth - 1, kWidth - 2, 8, 8}, Case{-0.25f, 0, 0, 1, 8, 8},
                         Case{0, 0.25f, 12, 12, kHeight - 1, kHeight - 2}, Case{0, -0.25f, 12, 12, 0, 1}}) {
        SCOPED_TRACE(std::to_string(c.dx) + "," + std::to_string(c.dy));
        Frame frame{kWidth, kHeight, kWidth, kHeight};
        // Samples taken beyond the last frame's picture, where it moved in.
        frame.jitter_x = c.dx > 0 ? 0.4f : -0.4f;
        frame.jitter_y = c.dy > 0 ? 0.4f : -0.4f;
        // The history holds the colour tone-mapped, as the passes keep it.
        const float grey = 0.4f, tone_mapped = grey / (1.0f + grey);
        frame.history_before.assign(size_t{kWidth} * kHeight, Half({tone_mapped, tone_mapped, tone_mapped, 4.0f}));
        std::fill(frame.color.begin(), frame.color.end(), Half({grey, grey, grey, 1.0f}));
        std::fill(frame.velocity.begin(), frame.velocity.end(), kavo::Half2{Imath::half(c.dx), Imath::half(c.dy)});
        frame.Run();
        const size_t entering = size_t{c.entering_y} * kWidth + c.entering_x;
        const size_t inside = size_t{c.inside_y} * kWidth + c.inside_x;
        EXPECT_EQ(frame.reprojected[entering].a, 0.0f);
        EXPECT_GT(frame.reprojected[inside].a, 3.0f);
        EXPECT_LE(frame.weights[entering], frame.weights[inside]);
        const float history_luma = float(Imath::half(tone_mapped));
        for (const float luma : frame.scratch.history_luma) ASSERT_NEAR(luma, history_luma, 1e-4f);
        for (const kavo::Half4& pixel : frame.output) ASSERT_NEAR(float(pixel.g), grey, 1e-3f);
    }
}
