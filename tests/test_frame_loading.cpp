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

    LoadedScene(int frames, RunSettings settings) {
        test::GenerateScene(dir.path(), {"--width", "8", "--height", "8", "--frames", std::to_string(frames)});
        run = std::make_unique<InferenceRun>(settings);
        run->paths = {dir.path().string(), "color", "velocity", "depth", "jitter", "", "", (dir / "out").string()};
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

// Loads of growing size from a window of the scene: a contiguous range,
// nothing past the end, and a window as large as the counters hold without
// wrapping around.
TEST(FrameWindow, SkipAndMaxSelectAContiguousRange) {
    struct Case {
        int frames;
        uint32_t skip, max;
        Names first, all;
    };
    const Case cases[] = {
        {10, 2, 5, {"0002"}, {"0002", "0003", "0004", "0005", "0006"}},
        {6, 3, 4294967295u, {"0003"}, {"0003", "0004", "0005"}},
        {3, 3, kUnset32, {}, {}},
        {3, 0, 0, {}, {}},
    };
    for (const Case& c : cases) {
        RunSettings settings;
        settings.skip_frames = c.skip;
        settings.max_frames = c.max;
        LoadedScene scene(c.frames, settings);
        EXPECT_EQ(scene.Load(1), c.first) << c.skip << " " << c.max;
        EXPECT_EQ(scene.Load(kUnset32 - 1), c.all) << c.skip << " " << c.max;
        EXPECT_EQ(scene.Load(kUnset32), c.all) << "an exhausted window loads nothing";
    }
}

TEST(FrameLoading, PathsArePrintedQuotedWithEscapes) {
    RunSettings settings;
    test::TempDir dir;
    const auto odd = dir / "a\"b\\c";
    test::GenerateScene(odd, {"--width", "8", "--height", "8", "--frames", "1"});
    InferenceRun run(settings);
    run.paths = {odd.string(), "color", "velocity", "", "jitter", "", "", (odd / "out").string()};
    DiscoverScene(run);
    const std::string out = test::CapturedStdout([&] { LoadFrames(run, 1); });
    EXPECT_NE(out.find("Loading: \"" + dir.path().string() + "/a\\\"b\\\\c/color/0000.exr\"\n"), std::string::npos)
        << out;
}
