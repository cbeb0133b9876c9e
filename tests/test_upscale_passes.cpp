// The reference upscaler's passes on CPU images, without a device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "platform/kavo/upscale.h"

namespace {

kavo::Half4 Half(const kavo::Float4& c) {
    return {Imath::half(c.r), Imath::half(c.g), Imath::half(c.b), Imath::half(c.a)};
}

// One frame at input resolution, upscaled 1:1 after a reset.
struct Frame {
    uint32_t width, height;
    std::vector<kavo::Half4> color = std::vector<kavo::Half4>(size_t{width} * height);
    std::vector<kavo::Half2> velocity = std::vector<kavo::Half2>(size_t{width} * height);
    std::vector<float> depth = std::vector<float>(size_t{width} * height, 0.5f);
    float velocity_scale_x = 1;
    kavo::Scratch scratch;
    // The last frame's history; empty: a reset. Its depth is this frame's.
    std::vector<kavo::Half4> history_before{};
    std::vector<float> depth_before{};        // the last frame's depth; empty: this frame's
    std::vector<kavo::Float4> reprojected{};  // the history as this frame fetched it
    std::vector<kavo::Half4> output{};

    void Run() {
        kavo::FrameSettings s;
        s.velocity_scale_x = velocity_scale_x;
        s.input_width = width;
        s.input_height = height;
        s.has_depth = true;
        s.reset = history_before.empty();
        const size_t pixels = size_t{width} * height;
        history_before.resize(pixels);
        std::vector<kavo::Half4> history(pixels), dumped_history(pixels);
        std::vector<kavo::Float2> motion(pixels), shading_before(pixels), shading(pixels), motion_output(pixels);
        if (depth_before.empty()) depth_before = depth;
        std::vector<float> kept_depth(pixels), weights(pixels);
        output.resize(pixels);
        reprojected.resize(pixels);
        auto view = [this](auto& image) {
            using Pixel = std::remove_reference_t<decltype(image[0])>;
            auto* bytes = reinterpret_cast<std::byte*>(const_cast<std::remove_const_t<Pixel>*>(image.data()));
            return kavo::ImageView<Pixel>{bytes, uint64_t{width} * sizeof(Pixel), width, height};
        };
        const kavo::FrameState state{view(std::as_const(history_before)),
                                     view(history),
                                     view(motion),
                                     view(std::as_const(depth_before)),
                                     view(kept_depth),
                                     view(std::as_const(shading_before)),
                                     view(shading)};
        kavo::UpscaleFrame(
            s,
            kavo::FrameInputs{
                view(std::as_const(color)), view(std::as_const(velocity)), view(std::as_const(depth)), {}},
            state, scratch, view(output));
        std::vector<uint32_t> packed(pixels);
        std::vector<kavo::Half2> dumped_motion(pixels);
        std::vector<Imath::half> luminance(pixels);
        kavo::MakeDumpViews(s, state, scratch,
                            {view(dumped_history),
                             view(reprojected),
                             view(weights),
                             view(packed),
                             {},
                             view(dumped_motion),
                             view(motion_output),
                             view(luminance)});
    }
};

// A frame whose last history is `history_of(x, y)` and whose pixels moved
// by `motion_of(x, y)`, across scaled by `scale_x`: returns the history as
// the frame fetched it.
template <class MotionOf, class HistoryOf>
std::vector<kavo::Float4> Reprojected(uint32_t width, uint32_t height, MotionOf motion_of, HistoryOf history_of,
                                      float scale_x = 1) {
    Frame frame{width, height};
    frame.velocity_scale_x = scale_x;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const kavo::Float4 h = history_of(x, y);
            frame.history_before.push_back(Half(h));
            frame.color[size_t{y} * width + x] = {Imath::half(h.r), Imath::half(h.g), Imath::half(h.b),
                                                  Imath::half(1.0f)};
            const auto [dx, dy] = motion_of(x, y);
            frame.velocity[size_t{y} * width + x] = {Imath::half(dx), Imath::half(dy)};
        }
    }
    frame.Run();
    return frame.reprojected;
}

// The same where every pixel moved by (dx, dy).
template <class HistoryOf>
std::vector<kavo::Float4> ReprojectedUniformly(uint32_t width, uint32_t height, float dx, float dy,
                                               HistoryOf history_of) {
    return Reprojected(
        width, height,
        [=](uint32_t, uint32_t) {
            return std::pair{dx, dy};
        },
        history_of);
}

// Resampling the history at any fraction of a pixel reproduces a constant
// and a linear ramp: repeated every frame of a slow pan, it may blur but
// never moves the picture. Away from the image's edge, in both directions.
TEST(UpscalePasses, HistoryResampledAtAnyOffsetKeepsALinearRamp) {
    constexpr uint32_t kWidth = 48, kHeight = 40, kMargin = 12;
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
                const std::vector<kavo::Float4> got =
                    ReprojectedUniformly(kWidth, kHeight, dx, dy, [&](uint32_t x, uint32_t y) {
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

// A pixel fetches the same history, to the bit, whatever its neighbours'
// motion: work shared between pixels that move alike is never taken over by
// one that moves otherwise. Every third pixel keeps one motion; the others
// move with it, by whole pixels more or less, to another row or fraction
// of a row, or off the image. Each pixel must fetch what it fetches when
// every pixel moves as it does.
TEST(UpscalePasses, AFetchDoesNotDependOnItsNeighboursMotion) {
    constexpr uint32_t kWidth = 40, kHeight = 24;
    constexpr float kDx = 0.3125f, kDy = -0.4375f;
    struct Neighbours {
        const char* name;
        float dx, dy;         // added to the kept motion
        float kept_dy = kDy;  // the kept motion down
    };
    const Neighbours cases[] = {{"alike", 0, 0},
                                {"a pixel on", 1, 0},
                                {"two pixels back", -2, 0},
                                {"five pixels on", 5, 0},
                                {"beyond the taps", 7, 0},
                                {"a row down", 0, 1},
                                {"a fraction down", 0, 0.25f},
                                {"by whole pixels", -kDx, -kDy},
                                {"off the image", 60, 0},
                                {"a fraction across", 0.5f, 0},
                                {"by whole pixels along a whole row", -kDx, 0, 0}};
    // Blocks, whose edges the spline rings at and the range of the pixels
    // around a point cuts, over a finer pattern.
    auto history_of = [](uint32_t x, uint32_t y) {
        const float v =
            0.75f * static_cast<float>((x / 5 + y / 3) % 2) + static_cast<float>((x * 7 + y * 13) % 17) / 128;
        return kavo::Float4{v, 1.0f - v, 0.5f * v, 2.0f};
    };
    auto uniform = [&](float dx, float dy) { return ReprojectedUniformly(kWidth, kHeight, dx, dy, history_of); };
    for (const Neighbours& n : cases) {
        SCOPED_TRACE(n.name);
        const std::vector<kavo::Float4> kept = uniform(kDx, n.kept_dy), moved = uniform(kDx + n.dx, n.kept_dy + n.dy);
        auto keeps = [](uint32_t x) { return x % 3 == 1; };
        const std::vector<kavo::Float4> got = Reprojected(
            kWidth, kHeight,
            [&](uint32_t x, uint32_t) {
                return keeps(x) ? std::pair{kDx, n.kept_dy} : std::pair{kDx + n.dx, n.kept_dy + n.dy};
            },
            history_of);
        for (uint32_t y = 0; y < kHeight; ++y) {
            for (uint32_t x = 0; x < kWidth; ++x) {
                const size_t at = size_t{y} * kWidth + x;
                const kavo::Float4 &a = got[at], &b = keeps(x) ? kept[at] : moved[at];
                ASSERT_TRUE(a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a) << x << "," << y;
            }
        }
    }
    // Neighbours moved a huge scale across fetch nothing, and are not even
    // looked at for where they lie (a float that far converts to no integer).
    const std::vector<kavo::Float4> far = Reprojected(
        kWidth, kHeight,
        [&](uint32_t x, uint32_t) {
            return std::pair{x % 2 == 0 ? 0.0f : 1.0f, kDy};
        },
        history_of, 1e30f);
    const std::vector<kavo::Float4> down = uniform(0, kDy);
    for (size_t at = 0; at < far.size(); ++at) {
        const kavo::Float4 &a = far[at], &b = at % 2 == 0 ? down[at] : kavo::Float4{0, 0, 0, 0};
        ASSERT_TRUE(a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a) << at;
    }
}

// A velocity that is not a finite number moves nothing: the pixel keeps its
// history where it lies, wherever in a row it falls.
TEST(UpscalePasses, AVelocityThatIsNotFiniteMovesNothing) {
    // Rows of whole vectors of pixels and some left over.
    constexpr uint32_t kWidth = 21, kHeight = 12;
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    auto history_of = [](uint32_t x, uint32_t y) {
        const float v = static_cast<float>((x * 7 + y * 13) % 17) / 17;
        return kavo::Float4{v, 0.5f, 1.0f - v, 2.0f};
    };
    auto moved_by = [&](float dx, float dy) { return ReprojectedUniformly(kWidth, kHeight, dx, dy, history_of); };
    const std::vector<kavo::Float4> still = moved_by(0, 0);
    const std::pair<float, float> velocities[] = {{inf, 0}, {-inf, 0}, {0, inf}, {nan, 0}, {0, nan}, {nan, -inf}};
    for (const auto& [dx, dy] : velocities) {
        SCOPED_TRACE(std::to_string(dx) + ", " + std::to_string(dy));
        const std::vector<kavo::Float4> got = moved_by(dx, dy);
        for (size_t at = 0; at < got.size(); ++at) {
            const kavo::Float4 &a = got[at], &b = still[at];
            ASSERT_TRUE(a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a) << at % kWidth << "," << at / kWidth;
        }
    }
}

// Where this frame's depth is not the depth its history was made at (an
// object moved away and uncovered the background), the history gives way
// at once: the first frame shows what this frame's samples show there.
TEST(UpscalePasses, AnUncoveredSurfaceShowsThisFramesColourAtOnce) {
    // Rows of whole vectors of pixels and some left over.
    constexpr uint32_t kWidth = 21, kHeight = 16;
    struct Case {
        float depth_before;  // where the history was made, over the whole frame
        bool uncovered;
    };
    // This frame's depth is 0.5: a tenth of the larger depth apart is the
    // same surface, from 0.4499 to 0.5557.
    const Case cases[] = {{0.9f, true},   {0.2f, true},    {0.5f, false}, {0.545f, false},
                          {0.567f, true}, {0.455f, false}, {0.445f, true}};
    for (const Case c : cases) {
        SCOPED_TRACE("depth before " + std::to_string(c.depth_before));
        Frame frame{kWidth, kHeight};
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

// The output's alpha is the alpha of the sample the pixel falls into, as
// the input holds it: the colour's clamping to what a half can hold and to
// light that is never negative leaves it alone.
TEST(UpscalePasses, TheOutputKeepsTheInputsAlphaAsItIs) {
    // Rows of whole vectors of pixels and one left over.
    constexpr uint32_t kWidth = 21, kHeight = 4;
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const float alphas[] = {1.0f, 0.25f, 0.0f, -0.0f, -3.0f, 60000.0f, inf, -inf, nan};
    Frame frame{kWidth, kHeight};
    for (size_t i = 0; i < frame.color.size(); ++i) {
        frame.color[i] = {Imath::half(0.5f), Imath::half(0.25f), Imath::half(0.125f),
                          Imath::half(alphas[i % std::size(alphas)])};
    }
    frame.Run();
    for (size_t i = 0; i < frame.output.size(); ++i) {
        const Imath::half got = frame.output[i].a, want = frame.color[i].a;
        SCOPED_TRACE("alpha " + std::to_string(float(want)) + " at " + std::to_string(i));
        if (want.isNan()) {
            EXPECT_TRUE(got.isNan());
        } else {
            EXPECT_EQ(got.bits(), want.bits());
        }
    }
}

}  // namespace
