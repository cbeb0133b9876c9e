// Decoding a frame's inputs and the frame window of the queue.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "run/inference_run.h"
#include "scene/frame_decoding.h"
#include "scene/frame_loading.h"
#include "scene/scene_discovery.h"
#include "tests/test_support.h"

namespace {

using Imath::half;

float F(half value) { return static_cast<float>(value); }

struct LoadedScene {
    test::TempDir dir;
    std::unique_ptr<InferenceRun> run;

    LoadedScene(const test::SceneLayout& layout, RunSettings settings) {
        test::MakeScene(dir.path(), layout);
        settings.no_depth = !layout.depth;
        settings.has_exposure_texture_name = layout.exposure;
        settings.has_responsive_mask = !layout.mask_frames.empty();
        run = std::make_unique<InferenceRun>(settings);
        run->paths = {dir.path().string(),
                      "color",
                      "velocity",
                      layout.depth ? "depth" : "",
                      "jitter",
                      layout.exposure ? "exposure" : "",
                      layout.mask_frames.empty() ? "" : "mask",
                      (dir / "out").string()};
        DiscoverScene(*run);
    }

    // Loads `count` frames quietly and returns the colour names queued so far.
    std::vector<std::string> Load(uint32_t count) {
        test::CapturedStdout([&] { LoadFrames(*run, count); });
        std::vector<std::string> names;
        for (const LoadedFrame& frame : run->frame_queue) names.push_back(frame.output_path.stem().string());
        return names;
    }
};

using Names = std::vector<std::string>;

}  // namespace

TEST(FrameDecoding, TruncationIsDefinedForEveryFloat) {
    EXPECT_EQ(TruncateToInt32(2.9f), 2);
    EXPECT_EQ(TruncateToInt32(-2.9f), -2);
    EXPECT_EQ(TruncateToInt32(-2147483648.0f), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(TruncateToInt32(2147483648.0f), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(TruncateToInt32(std::numeric_limits<float>::quiet_NaN()), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(TruncateToInt32(-std::numeric_limits<float>::infinity()), std::numeric_limits<int32_t>::min());
}

TEST(FrameDecoding, EncodedVelocityIsNegatedUnlessInversedAndRawTheOtherWayRound) {
    auto decode = [](float r, float g, float b, bool raw, bool inversed) {
        const auto xy = DecodeVelocity(half(r), half(g), half(b), {raw, inversed});
        return std::make_pair(F(xy[0]), F(xy[1]));
    };
    EXPECT_EQ(decode(2, 3, 1, false, false), std::make_pair(2.0f, -3.0f));
    EXPECT_EQ(decode(2, 3, 1, false, true), std::make_pair(-2.0f, 3.0f));
    EXPECT_EQ(decode(2, 3, 3, false, true), std::make_pair(-2.0f, -3.0f));
    EXPECT_EQ(decode(2, 3, 0, false, true), std::make_pair(2.0f, 3.0f));
    EXPECT_EQ(decode(2, 3, 0, true, false), std::make_pair(2.0f, 3.0f));
    EXPECT_EQ(decode(2, 3, 0, true, true), std::make_pair(-2.0f, -3.0f));
    // A NaN sign channel sets no sign bits.
    EXPECT_EQ(decode(2, 3, std::numeric_limits<float>::quiet_NaN(), false, true), std::make_pair(2.0f, 3.0f));
    // Negation flips only the sign bit, so a NaN payload survives.
    const half nan = half::qNan();
    EXPECT_EQ(DecodeVelocity(nan, half(0), half(0), {true, true})[0].bits(), nan.bits() ^ 0x8000);
}

TEST(FrameDecoding, JitterSignsComeFromTheBlueChannelUnlessRaw) {
    EXPECT_EQ(DecodeJitter(half(0.25f), half(0.5f), half(2.0f), false), (std::array<float, 2>{0.25f, -0.5f}));
    EXPECT_EQ(DecodeJitter(half(0.25f), half(0.5f), half(1.0f), false), (std::array<float, 2>{-0.25f, 0.5f}));
    EXPECT_EQ(DecodeJitter(half(0.25f), half(0.5f), half(2.0f), true), (std::array<float, 2>{0.25f, 0.5f}));
}

TEST(FrameDecoding, MaskBytesAreTheLowBitsOfTheIntegerPart) {
    EXPECT_EQ(DecodeMaskByte(half(1.0f)), 1);
    EXPECT_EQ(DecodeMaskByte(half(0.9f)), 0);
    EXPECT_EQ(DecodeMaskByte(half(255.0f)), 255);
    EXPECT_EQ(DecodeMaskByte(half(256.0f)), 0);
    EXPECT_EQ(DecodeMaskByte(half(-1.0f)), 255);
    EXPECT_EQ(DecodeMaskByte(half::qNan()), 0);
    EXPECT_EQ(DecodeMaskByte(half::posInf()), 0);
}

TEST(FrameWindow, SkipAndMaxSelectAContiguousRange) {
    RunSettings settings;
    settings.skip_frames = 2;
    settings.max_frames = 5;
    LoadedScene scene({.frames = 10, .width = 2, .height = 2}, settings);
    EXPECT_EQ(scene.Load(1), Names{"0002"});
    EXPECT_EQ(scene.Load(100), (Names{"0002", "0003", "0004", "0005", "0006"}));
    EXPECT_EQ(scene.Load(100).size(), 5u) << "an exhausted window loads nothing";
}

TEST(FrameWindow, WindowPastTheEndOrEmptyLoadsNothing) {
    RunSettings past;
    past.skip_frames = 3;
    EXPECT_TRUE(LoadedScene({.frames = 3, .width = 2, .height = 2}, past).Load(10).empty());
    RunSettings none;
    none.max_frames = 0;
    EXPECT_TRUE(LoadedScene({.frames = 3, .width = 2, .height = 2}, none).Load(10).empty());
}

TEST(FrameWindow, UnlimitedCapacityLoadsTheWholeWindowWithoutWrapping) {
    RunSettings settings;
    settings.skip_frames = 3;
    settings.max_frames = 4294967295u;
    LoadedScene scene({.frames = 6, .width = 2, .height = 2}, settings);
    EXPECT_EQ(scene.Load(1), Names{"0003"});
    EXPECT_EQ(scene.Load(kUnset32 - 1), (Names{"0003", "0004", "0005"}));
    EXPECT_EQ(scene.Load(kUnset32).size(), 3u);
}

TEST(FrameLoading, PathsArePrintedQuotedWithEscapes) {
    RunSettings settings;
    test::TempDir dir;
    const auto odd = dir / "a\"b\\c";
    test::MakeScene(odd, {.frames = 1, .width = 2, .height = 2, .depth = false});
    InferenceRun run(settings);
    run.paths = {odd.string(), "color", "velocity", "", "jitter", "", "", (odd / "out").string()};
    DiscoverScene(run);
    const std::string out = test::CapturedStdout([&] { LoadFrames(run, 1); });
    EXPECT_NE(out.find("Loading: \"" + dir.path().string() + "/a\\\"b\\\\c/color/0000.exr\"\n"), std::string::npos)
        << out;
}
