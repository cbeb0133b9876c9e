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

TEST(Scenegen, SameArgumentsGiveTheSameBytesAndTheToolsLayout) {
    test::TempDir a, b;
    test::GenerateScene(a.path(), {"--width", "24", "--height", "16", "--frames", "3", "--exposure", "--mask"});
    test::GenerateScene(b.path(), {"--width", "24", "--height", "16", "--frames", "3", "--exposure", "--mask"});
    auto files_a = test::FilesWithContents(a.path()), files_b = test::FilesWithContents(b.path());
    // The configuration names its own folder; everything else must match byte for byte.
    auto drop_config = [](auto& files) {
        std::erase_if(files, [](const auto& file) { return file.first == "scene.ini"; });
    };
    drop_config(files_a);
    drop_config(files_b);
    EXPECT_EQ(files_a, files_b);
    for (const char* folder : {"color", "velocity", "depth", "jitter", "exposure", "mask", "ground_truth"}) {
        EXPECT_TRUE(fs::exists(a / folder / "0002.exr")) << folder;
    }
    const std::string config = test::ReadText(a / "scene.ini");
    EXPECT_NE(config.find("exposure_name=\"exposure\""), std::string::npos) << config;
    EXPECT_NE(config.find("responsive_mask_name=\"mask\""), std::string::npos) << config;

    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> truth;
    ReadExrImage((a / "ground_truth" / "0000.exr").string(), info, truth);
    EXPECT_EQ(info.width, 48u) << "the ground truth has the output size";
    EXPECT_EQ(info.height, 32u);

    test::TempDir other;
    test::GenerateScene(other.path(), {"--width", "24", "--height", "16", "--frames", "1", "--seed", "7"});
    EXPECT_NE(test::ReadText(other / "color" / "0000.exr"), test::ReadText(a / "color" / "0000.exr"));
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
        std::vector<std::string> args = {"--width", "64", "--height", "32", "--frames", "2", "--speed", "1",
                                         "--seed", "3"};
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
    const evaluation::SequenceReport same = evaluation::CompareSequences(out.path(), truth.path(), 0, 1.0);
    EXPECT_TRUE(std::isinf(same.mean_psnr));
    EXPECT_TRUE(std::isinf(same.overall_psnr));
    EXPECT_EQ(Evaluate({"frames", out.path().string(), truth.path().string(), "--threshold", "99"}).exit_code, 0);

    WriteFlat(out / "b.exr", 0.625f);  // exact in half precision: error 0.125, MSE 1/64
    const evaluation::SequenceReport offset = evaluation::CompareSequences(out.path(), truth.path(), 1, 1.0);
    ASSERT_EQ(offset.frames.size(), 1u) << "the first frame is skipped";
    EXPECT_DOUBLE_EQ(offset.frames[0].psnr, 10.0 * std::log10(64.0));
    EXPECT_DOUBLE_EQ(offset.max_error, 0.125);
    EXPECT_EQ(Evaluate({"frames", out.path().string(), truth.path().string(), "--skip", "1", "--threshold", "18"})
                  .exit_code,
              0);
    EXPECT_EQ(Evaluate({"frames", out.path().string(), truth.path().string(), "--skip", "1", "--threshold", "18"})
                  .out.find("b.exr PSNR=18.062 dB max_error=0.125"),
              0u);
    EXPECT_EQ(Evaluate({"frames", out.path().string(), truth.path().string(), "--threshold", "40"}).exit_code, 1);

    fs::remove(out / "a.exr");
    EXPECT_EQ(Evaluate({"frames", out.path().string(), truth.path().string()}).exit_code, 2);
    WriteFlat(out / "a.exr", 0.5f, 5, 3);
    EXPECT_EQ(Evaluate({"frames", out.path().string(), truth.path().string()}).exit_code, 3) << "sizes differ";
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
