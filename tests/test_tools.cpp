// The companion programs: scenegen's scenes and the evaluate program.
#include <gtest/gtest.h>

#include <cmath>

#include "scene/exr_image.h"
#include "scene/frame_decoding.h"
#include "tests/test_support.h"
#include "tools/evaluation.h"

namespace {

namespace fs = std::filesystem;

Imf::Rgba PixelOf(const fs::path& path, int x, int y) {
    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> pixels;
    ReadExrImage(path.string(), info, pixels);
    return pixels[y][x];
}

void WriteFlat(const fs::path& path, float value, int width = 4, int height = 3) {
    test::WriteUniform(path, width, height, Imf::Rgba(value, value, value, 1.0f));
}

test::ProgramResult Evaluate(const std::vector<std::string>& args) {
    return test::RunProgram(test::BuiltProgram("evaluate"), args);
}

}  // namespace

// The same arguments give the same scene, ground truth included (the
// golden runs see the rest of it), and another seed another scene. The
// ground truth has the output size.
TEST(Scenegen, SameArgumentsGiveTheSameSceneAndTheTruthTheOutputSize) {
    test::TempDir a, b, other;
    for (const test::TempDir* dir : {&a, &b})
        test::GenerateScene(dir->path(), {"--width", "24", "--height", "16", "--frames", "1"});
    test::GenerateScene(other.path(), {"--width", "24", "--height", "16", "--frames", "1", "--seed", "7"});
    EXPECT_EQ(test::ReadText(a / "ground_truth" / "0000.exr"), test::ReadText(b / "ground_truth" / "0000.exr"));
    EXPECT_NE(test::ReadText(other / "color" / "0000.exr"), test::ReadText(a / "color" / "0000.exr"));
    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> truth;
    ReadExrImage((a / "ground_truth" / "0000.exr").string(), info, truth);
    EXPECT_EQ(info.width, 48u);
    EXPECT_EQ(info.height, 32u);
}

TEST(Scenegen, EncodingsRoundTripThroughTheToolsDecoding) {
    // A background pixel moves with the camera: 0.6 pixels left and 0.15 up a frame.
    const float expected_x = 0.6f, expected_y = 0.15f;  // decoded: pointing back to the previous frame
    struct Case {
        std::vector<std::string> args;
        bool raw;
        float scale_x, scale_y;  // from decoded units back to input pixels
    };
    const float width = 64, height = 32;
    for (const Case& c : {Case{{"--pixel-velocity"}, false, 1, 1}, Case{{"--pixel-velocity", "--raw"}, true, 1, 1},
                          Case{{}, false, width / 2, -height / 2}}) {
        test::TempDir dir;
        std::vector<std::string> args = {"--width", "64",      "--height", "32",     "--frames",
                                         "2",       "--speed", "1",        "--seed", "3"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        test::GenerateScene(dir.path(), args);
        // The corner pixel shows the background (the discs stay inside).
        const Imf::Rgba v = PixelOf(dir / "velocity" / "0001.exr", 0, 0);
        const auto xy = DecodeVelocity(v.r, v.g, v.b, {c.raw, false});
        EXPECT_NEAR(static_cast<float>(xy[0]) * c.scale_x, expected_x, 2e-3f);
        EXPECT_NEAR(static_cast<float>(xy[1]) * c.scale_y, expected_y, 2e-3f);

        // Jitter of frame 1 is Halton(2, 3) at index 2, centred: (0.25, 1/9 - 0.5) + ... as decoded.
        const Imf::Rgba j = PixelOf(dir / "jitter" / "0001.exr", 0, 0);
        const auto jitter = DecodeJitter(j.r, j.g, j.b, c.raw);
        EXPECT_NEAR(jitter[0], 0.25f - 0.5f, 1e-3f);
        EXPECT_NEAR(jitter[1], 2.0f / 3.0f - 0.5f, 1e-3f);
    }
}

TEST(Evaluate, IdenticalSequencesHaveInfinitePsnrAndAKnownOffsetIsExact) {
    test::TempDir out, truth;
    for (const char* name : {"a.exr", "b.exr"}) {
        WriteFlat(truth / name, 0.5f);
        WriteFlat(out / name, 0.5f);
    }
    const evaluation::SequenceReport same = evaluation::CompareSequences(out.path(), truth.path(), {});
    EXPECT_TRUE(std::isinf(same.mean_psnr));
    EXPECT_TRUE(std::isinf(same.overall_psnr));
    EXPECT_EQ(Evaluate({"frames", out.path().string(), truth.path().string(), "--threshold", "99"}).exit_code, 0);

    WriteFlat(out / "b.exr", 0.625f);  // exact in half precision: error 0.125, MSE 1/64
    const evaluation::SequenceReport offset = evaluation::CompareSequences(out.path(), truth.path(), {.skip = 1});
    ASSERT_EQ(offset.frames.size(), 1u) << "the first frame is skipped";
    EXPECT_DOUBLE_EQ(offset.frames[0].psnr, 10.0 * std::log10(64.0));
    EXPECT_DOUBLE_EQ(offset.max_error, 0.125);
    const auto passed =
        Evaluate({"frames", out.path().string(), truth.path().string(), "--skip", "1", "--threshold", "18"});
    EXPECT_EQ(passed.exit_code, 0);
    EXPECT_EQ(passed.out.find("b.exr PSNR=18.062 dB max_error=0.125"), 0u);
    EXPECT_EQ(Evaluate({"frames", out.path().string(), truth.path().string(), "--threshold", "40"}).exit_code, 1);

    fs::remove(out / "a.exr");
    EXPECT_EQ(Evaluate({"frames", out.path().string(), truth.path().string()}).exit_code, 2);
    WriteFlat(out / "a.exr", 0.5f, 5, 3);
    EXPECT_EQ(Evaluate({"frames", out.path().string(), truth.path().string()}).exit_code, 1) << "sizes differ";
}

TEST(Evaluate, DumpTreesAreComparedFileByFileWithATolerance) {
    test::TempDir a, b;
    for (const test::TempDir* tree : {&a, &b}) {
        fs::create_directories(tree->path() / "sequence_dump" / "step_0" / "x");
        test::WriteText(tree->path() / "sequence_dump" / "step_0" / "x" / "C_000.csv",
                        "c_y/x,x0,x1\nc000_y0000,0.500000,1.000000");
        test::WriteText(tree->path() / "sequence_dump" / "step_0" / "x" / "C_000.pgm", "P5\n 2 1\n 255\n\x01\x02");
        fs::create_directories(tree->path() / "sequence_dump" / "x");
        WriteFlat(tree->path() / "sequence_dump" / "x" / "step_0.exr", 0.25f);
    }
    EXPECT_EQ(Evaluate({"dumps", a.path().string(), b.path().string()}).exit_code, 0);

    test::WriteText(b / "sequence_dump" / "step_0" / "x" / "C_000.csv", "c_y/x,x0,x1\nc000_y0000,0.500001,1.000000");
    EXPECT_EQ(Evaluate({"dumps", a.path().string(), b.path().string(), "--tolerance", "1e-5"}).exit_code, 0);
    test::WriteText(b / "sequence_dump" / "step_0" / "x" / "C_000.csv", "c_y/x,x0,x1\nc000_y0000,0.600000,1.000000");
    const auto differs = Evaluate({"dumps", a.path().string(), b.path().string()});
    EXPECT_EQ(differs.exit_code, 1);
    EXPECT_NE(differs.out.find("differs: step_0/x/C_000.csv"), std::string::npos) << differs.out;

    WriteFlat(b / "sequence_dump" / "x" / "step_0.exr", 0.5f);
    EXPECT_NE(Evaluate({"dumps", a.path().string(), b.path().string()}).out.find("differs: x/step_0.exr channel R"),
              std::string::npos);

    fs::remove(b / "sequence_dump" / "step_0" / "x" / "C_000.pgm");
    const auto missing = Evaluate({"dumps", a.path().string(), b.path().string()});
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_NE(missing.out.find("step_0/x/C_000.pgm"), std::string::npos);
}

// What each kind moves and the regions it marks (its pictures and motion are
// the golden runs').
TEST(Scenegen, EveryKindMovesAsItSaysAndMarksItsRegions) {
    struct Case {
        const char* kind;
        bool still;       // every velocity is zero
        bool has_region;  // regions.txt names the moving object or shadow
    };
    for (const Case& c :
         {Case{"static", true, false}, Case{"slow-pan", false, false}, Case{"disocclusion", false, true},
          Case{"thin-lines", true, false}, Case{"moving-shadow", true, true}, Case{"photo-pan", false, false},
          Case{"photo-object", false, true}}) {
        test::TempDir a;
        test::GenerateScene(a.path(), {"--width", "32", "--height", "16", "--frames", "3", "--truth-samples", "0",
                                       "--pixel-velocity", "--kind", c.kind});
        bool all_still = true;
        for (int x = 0; x < 32; ++x) {
            const Imf::Rgba v = PixelOf(a / "velocity" / "0001.exr", x, 8);
            const auto xy = DecodeVelocity(v.r, v.g, v.b, {});
            all_still = all_still && static_cast<float>(xy[0]) == 0.0f && static_cast<float>(xy[1]) == 0.0f;
        }
        EXPECT_EQ(all_still, c.still) << c.kind;
        EXPECT_EQ(fs::exists(a / "regions.txt"), c.has_region) << c.kind;
        if (c.has_region) {
            EXPECT_EQ(test::LinesStartingWith(test::ReadText(a / "regions.txt"), "000").size(), 3u) << c.kind;
        }
    }
}

TEST(Evaluate, SsimTemporalErrorRegionsAndNonFinitePixels) {
    test::TempDir out, truth;
    // Truth: a ramp that brightens by 0.125 a frame; the output follows it
    // with a constant offset, so its change matches the truth's exactly.
    auto ramp = [](float base, int frame) {
        std::vector<float> values(16 * 8);
        for (size_t i = 0; i < values.size(); ++i)
            values[i] = base + 0.125f * frame + 0.01f * static_cast<float>(i % 16);
        return values;
    };
    for (int frame = 0; frame < 3; ++frame) {
        const std::string name = "000" + std::to_string(frame) + ".exr";
        const auto t = ramp(0.25f, frame), o = ramp(0.3125f, frame);
        test::WriteChannels(truth / name, 16, 8, {{"R", t}, {"G", t}, {"B", t}});
        test::WriteChannels(out / name, 16, 8, {{"R", o}, {"G", o}, {"B", o}});
    }
    test::WriteText(truth / "regions.txt", "0001.exr 0 0 4 4\n0002.exr 0 0 100 100\n");
    evaluation::ComparisonOptions options{.regions = (truth / "regions.txt").string()};
    const evaluation::SequenceReport report = evaluation::CompareSequences(out.path(), truth.path(), options);
    ASSERT_EQ(report.frames.size(), 3u);
    EXPECT_TRUE(std::isnan(report.frames[0].temporal_error)) << "the first frame has nothing before it";
    EXPECT_NEAR(report.frames[1].temporal_error, 0.0, 1e-3);
    EXPECT_NEAR(report.temporal_error, 0.0, 1e-3);
    EXPECT_NEAR(report.frames[1].psnr, 10 * std::log10(256.0), 0.05) << "an offset of 1/16";
    EXPECT_TRUE(std::isnan(report.frames[0].region_psnr)) << "no region for the first frame";
    EXPECT_NEAR(report.frames[1].region_psnr, report.frames[1].psnr, 0.05);
    EXPECT_LT(report.frames[1].ssim, 1.0);
    EXPECT_GT(report.frames[1].ssim, 0.5);
    EXPECT_EQ(report.non_finite, 0u);

    // The same frames against themselves: SSIM 1; a frame that stands still
    // where the truth brightens has the whole change as its temporal error.
    const evaluation::SequenceReport same = evaluation::CompareSequences(truth.path(), truth.path(), {});
    EXPECT_NEAR(same.mean_ssim, 1.0, 1e-9);
    const auto still = ramp(0.3125f, 0);
    test::WriteChannels(out / "0001.exr", 16, 8, {{"R", still}, {"G", still}, {"B", still}});
    EXPECT_NEAR(evaluation::CompareSequences(out.path(), truth.path(), {}).frames[1].temporal_error, 0.125, 1e-3);

    // An infinite pixel is counted and fails the comparison.
    auto broken = ramp(0.25f, 2);
    broken[5] = std::numeric_limits<float>::infinity();
    test::WriteChannels(out / "0002.exr", 16, 8, {{"R", broken}, {"G", broken}, {"B", broken}});
    EXPECT_EQ(evaluation::CompareSequences(out.path(), truth.path(), {}).non_finite, 1u);
    const auto result = Evaluate({"frames", out.path().string(), truth.path().string()});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.out.find("non_finite=1 "), std::string::npos) << result.out;
}

TEST(Evaluate, BicubicUpscaleSamplesWhereTheJitteredSamplesWereTaken) {
    // A horizontal ramp, sampled at x + 0.5 + jitter: Catmull-Rom reproduces
    // a ramp exactly, so inside the image each output pixel holds the ramp at
    // its own centre whatever the jitter.
    test::TempDir scene, out;
    fs::create_directories(scene / "color");
    fs::create_directories(scene / "jitter");
    const int width = 16, height = 4;
    for (const auto& [name, jitter, signs] : {std::tuple{"0000.exr", 0.25f, 0.0f}, {"0001.exr", 0.375f, 1.0f}}) {
        const float shift = signs == 1.0f ? -jitter : jitter;
        std::vector<float> values(width * height);
        for (int i = 0; i < width * height; ++i) values[i] = 0.0625f * (static_cast<float>(i % width) + 0.5f + shift);
        test::WriteChannels(scene / "color" / name, width, height, {{"R", values}, {"G", values}, {"B", values}});
        test::WriteUniform(scene / "jitter" / name, 1, 1, Imf::Rgba(jitter, 0.0f, signs, 1.0f));
    }
    ASSERT_EQ(Evaluate({"bicubic", (scene / "color").string(), (scene / "jitter").string(), out.path().string(),
                        "--width", "32", "--height", "8"})
                  .exit_code,
              0);
    for (const char* name : {"0000.exr", "0001.exr"}) {
        for (int x = 6; x < 26; ++x) {
            EXPECT_NEAR(static_cast<float>(PixelOf(out / name, x, 3).r), 0.0625f * (x + 0.5f) / 2, 2e-3f)
                << name << " column " << x;
        }
    }
}

TEST(CompanionOptions, NumbersThatAreNotFiniteOrOutOfRangeAreRefusedByName) {
    struct Case {
        const char* program;
        std::vector<std::string> args;
        const char* option;
    };
    test::TempDir dir;
    const std::string scene = (dir / "scene").string(), page = (dir / "page.html").string();
    const Case cases[] = {
        {"scenegen", {scene, "--speed", "nan"}, "--speed"},
        {"scenegen", {scene, "--speed", "-1"}, "--speed"},
        {"evaluate", {"frames", "a", "b", "--peak", "nan"}, "--peak"},
        {"evaluate", {"frames", "a", "b", "--threshold", "inf"}, "--threshold"},
        {"evaluate", {"report", page, "a", "b", "--exposure", "0"}, "--exposure"},
        {"evaluate", {"dumps", "a", "b", "--tolerance", "-0.5"}, "--tolerance"},
    };
    for (const Case& c : cases) {
        const test::ProgramResult result = test::RunProgram(test::BuiltProgram(c.program), c.args);
        EXPECT_NE(result.exit_code, 0) << c.program << " " << c.option;
        EXPECT_NE(result.err.find(std::string(c.option) + ": Value"), std::string::npos) << result.err;
    }
    EXPECT_FALSE(fs::exists(dir / "scene")) << "nothing is written before the options are checked";
    EXPECT_FALSE(fs::exists(dir / "page.html"));
}

TEST(CompanionOptions, NoOutputIntoAnInputAndNothingMadeBeforeEveryArgumentIsChecked) {
    struct Case {
        const char* program;
        std::vector<std::string> args;
        int exit_code;
    };
    constexpr int kUsage = 4, kUnreadable = 3, kScenegenFailure = 1, kOptionParserFailure = 105;
    test::TempDir dir;
    test::GenerateScene(dir / "scene", {"--width", "16", "--height", "8", "--frames", "2"});
    const fs::path scene = dir / "scene", empty = dir / "empty";
    fs::create_directory(empty);
    fs::create_directory_symlink(scene / "color", dir / "color_link");
    fs::copy(scene / "color", dir / "seq_files");  // the folder a page "seq.html" puts its images in
    const std::string color = (scene / "color").string(), jitter = (scene / "jitter").string();
    const Case cases[] = {
        {"evaluate", {"bicubic", color, jitter, color, "--width", "32", "--height", "16"}, kUsage},
        {"evaluate",
         {"bicubic", color, jitter, (dir / "color_link" / "up").string(), "--width", "32", "--height", "16"},
         kUsage},
        {"evaluate", {"report", (scene / "color" / "0000.exr").string(), color, color}, kUsage},
        {"evaluate", {"report", (dir / "seq.html").string(), (dir / "seq_files").string(), color}, kUsage},
        {"evaluate", {"report", (scene / "color" / "x.html").string(), "--dumps", color, jitter}, kUsage},
        {"scenegen", {""}, kScenegenFailure},
        {"scenegen", {(empty / "new").string(), "--kind", "other"}, kOptionParserFailure},
        {"evaluate", {}, kOptionParserFailure + 1},
        {"evaluate", {"report", "x.html", color, "--truth", color, "--labels", "one,two"}, kUsage},
        {"evaluate", {"report", "x.html", (dir / "none").string(), color}, kUnreadable},
        {"evaluate", {"report", "x.html", "--dumps", (dir / "none").string(), color}, kUnreadable},
        {"scenegen", {(empty / "new").string(), "--quality", "sharpest"}, kOptionParserFailure},
    };
    const auto before = test::FilesWithContents(dir.path());
    for (const Case& c : cases) {
        const test::ProgramResult result = test::RunProgram(test::BuiltProgram(c.program), c.args, {}, empty);
        EXPECT_EQ(result.exit_code, c.exit_code) << c.program << " " << testing::PrintToString(c.args);
        EXPECT_NE(result.err, "") << c.program << " " << testing::PrintToString(c.args);
    }
    EXPECT_TRUE(test::FilesWithContents(dir.path()) == before) << "an input was written over";
    EXPECT_TRUE(fs::is_empty(empty)) << "a folder was made before the arguments were checked";

    // A scene whose configuration file cannot be written is a failure.
    fs::create_directories(empty / "blocked" / "scene.ini");
    const test::ProgramResult blocked =
        test::RunProgram(test::BuiltProgram("scenegen"),
                         {(empty / "blocked").string(), "--width", "8", "--height", "8", "--frames", "1"});
    EXPECT_NE(blocked.exit_code, 0);
    EXPECT_NE(blocked.err.find("scene.ini: unable to create file"), std::string::npos) << blocked.err;
}

// A slow pan of a few hundred frames of detailed content: the history is
// resampled at the same fraction of a pixel every frame, and the picture
// must not slide against the truth as the frames add up.
TEST(LongRuns, ASlowPanOfHundredsOfFramesDoesNotDrift) {
    test::TempDir dir;
    const std::vector<std::string> args = test::GenerateScene(
        dir.path(),
        {"--kind", "photo-pan", "--width", "64", "--height", "48", "--frames", "200", "--truth-samples", "2"});
    for (const char* model : {"kpss", "splat"}) {
        std::vector<std::string> run = args;
        run.back() = (dir / model).string();  // the output folder
        run.insert(run.end(), {"--network_name", model});
        ASSERT_EQ(test::RunTool(run).exit_code, 0) << model;
        const test::ProgramResult frames =
            Evaluate({"frames", (dir / model).string(), (dir / "ground_truth").string(), "--skip", "100"});
        const std::string summary = test::LinesStartingWith(frames.out, "frames=").at(0);
        const double shift = std::stod(summary.substr(summary.find("max_shift=") + 10));
        EXPECT_LT(shift, 0.15) << model << ": " << summary;
    }
}
