// The tool as a user runs it: scenes from scenegen, the built executable, and
// what comes out of it (files, lines, exit codes).
#include <gtest/gtest.h>

#include <sstream>

#include "scene/exr_image.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using test::LinesStartingWith;
using test::RunTool;

constexpr int kFailureExitCode = 255;

struct Scene {
    test::TempDir dir;
    std::vector<std::string> args;

    explicit Scene(std::vector<std::string> scenegen_args = {"--width", "40", "--height", "24", "--frames", "4"}) {
        args = test::GenerateScene(dir.path(), scenegen_args);
    }
    fs::path Out(const std::string& name = "") const { return dir / "out" / name; }

    test::ProgramResult Run(std::vector<std::string> extra = {}, const std::string& input = {},
                            const std::vector<std::string>& environment = {}) const {
        std::vector<std::string> all = args;
        all.insert(all.end(), extra.begin(), extra.end());
        test::ProgramResult result = RunTool(all, input, {}, environment);
        EXPECT_EQ(result.err.find("softgpu: validation error"), std::string::npos) << result.err;
        return result;
    }
};

std::vector<std::string> OutputNames(const fs::path& folder) {
    std::vector<std::string> names;
    if (!fs::exists(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::pair<uint32_t, uint32_t> ImageSizeOf(const fs::path& path) {
    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> pixels;
    ReadExrImage(path.string(), info, pixels);
    return {info.width, info.height};
}

using Names = std::vector<std::string>;

}  // namespace

TEST(EndToEnd, OutputSizeFollowsTheQualityInFloatArithmetic) {
    Scene scene({"--width", "40", "--height", "24", "--frames", "1"});
    struct Case {
        const char* quality;
        std::pair<uint32_t, uint32_t> size;
        const char* factor;
    };
    // 24 x 1.7 = 40.8 and 24 x 1.3 = 31.2 are raised to the next whole number.
    for (const Case& c :
         {Case{"ultra_quality", {52, 32}, "1.3"}, Case{"quality", {60, 36}, "1.5"}, Case{"balanced", {68, 41}, "1.7"},
          Case{"performance", {80, 48}, "2"}, Case{"ultra", {80, 48}, "2"}}) {
        const auto result = scene.Run({"--quality", c.quality});
        ASSERT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(ImageSizeOf(scene.Out("0000.exr")), c.size) << c.quality;
        EXPECT_NE(result.out.find(std::string("Upscale factor = x") + c.factor + "\n"), std::string::npos) << c.quality;
    }
}

// The order of the loading and writing lines: which frames are decoded
// before which are written. The first frame is loaded before the context
// exists; then the queue holds ten frames, or every frame with
// --load_all_frames.
TEST(EndToEnd, LoadingAndWritingLinesComeInFrameOrder) {
    struct Case {
        int frames;
        std::vector<std::string> options;
        size_t loaded_before_first_write;
    };
    for (const Case& c : {Case{4, {}, 4}, Case{12, {}, 10}, Case{12, {"--load_all_frames"}, 12}}) {
        Scene scene({"--width", "16", "--height", "8", "--frames", std::to_string(c.frames)});
        const auto result = scene.Run(c.options);
        std::vector<std::string> loaded, written;
        size_t loaded_before_first_write = 0;
        std::istringstream lines(result.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("Loading: \"" + (scene.dir / "color").string(), 0) == 0) {
                loaded.push_back(line.substr(line.size() - 9, 4));
                if (written.empty()) ++loaded_before_first_write;
            }
            if (line.rfind("Writing ", 0) == 0) written.push_back(line.substr(line.size() - 9, 4));
        }
        Names expected;
        for (int frame = 0; frame < c.frames; ++frame)
            expected.push_back(std::string(3 - (frame > 9), '0') + std::to_string(frame));
        EXPECT_EQ(loaded, expected) << c.frames;
        EXPECT_EQ(written, expected) << c.frames;
        EXPECT_EQ(loaded_before_first_write, c.loaded_before_first_write) << testing::PrintToString(c.options);
        EXPECT_EQ(LinesStartingWith(result.out, "Writing ").front(),
                  "Writing \"" + scene.Out("0000.exr").string() + "\"");
    }
}

TEST(EndToEnd, FrameWindowOptions) {
    Scene scene({"--width", "16", "--height", "16", "--frames", "6"});
    scene.Run({"--skip_frames", "2", "--max_frames", "3"});
    EXPECT_EQ(OutputNames(scene.Out()), (Names{"0002.exr", "0003.exr", "0004.exr"}));
    fs::remove_all(scene.Out());
    const auto all = scene.Run({"--load_all_frames", "--skip_frames", "4"});
    EXPECT_EQ(OutputNames(scene.Out()), (Names{"0004.exr", "0005.exr"}));
    EXPECT_EQ(LinesStartingWith(all.out, "Loading: ").size(), 2u * 4u);
}

TEST(EndToEnd, EmptySceneOrWindowStopsBeforeAnyDevice) {
    Scene scene({"--width", "16", "--height", "16", "--frames", "2"});
    const auto past_end = scene.Run({"--skip_frames", "2"});
    EXPECT_EQ(past_end.exit_code, kFailureExitCode);
    EXPECT_EQ(past_end.err, "Error: No frames to upscale in scene \"" + scene.dir.path().string() + "\"\n");
    EXPECT_TRUE(LinesStartingWith(past_end.out, "Selected adapter").empty());

    for (const auto& entry : fs::directory_iterator(scene.dir / "color")) fs::remove(entry.path());
    const auto empty = scene.Run();
    EXPECT_EQ(empty.exit_code, kFailureExitCode);
    EXPECT_EQ(LinesStartingWith(empty.err, "Error: No frames to upscale").size(), 1u);
}

// An adapter that cannot be used stops the run before any output, with
// the adapters listed. (The listing of a run that goes on is a golden run's.)
TEST(EndToEnd, AFailedAdapterChoiceStopsTheRun) {
    Scene scene({"--width", "16", "--height", "16", "--frames", "1"});
    const auto past_end = scene.Run({"--dxgi_adapter_index", "5"}, {}, {"SOFTGPU_ADAPTERS=sw:Soft;hw:Fast"});
    EXPECT_EQ(past_end.exit_code, kFailureExitCode);
    EXPECT_EQ(
        past_end.err.rfind("Error: No compatible adapters found.\nFollowing adapters have been enumerated:\n#0 ", 0),
        0u)
        << past_end.err;
    EXPECT_TRUE(OutputNames(scene.Out()).empty());
}

TEST(EndToEnd, CorruptFrameStopsTheRunAndKeepsEarlierOutputs) {
    Scene scene({"--width", "16", "--height", "16", "--frames", "14"});
    // Frame 12 is loaded by the second fill of the queue, after frames 0 to 9
    // were written; 10 and 11 were loaded but never executed.
    test::WriteText(scene.dir / "color" / "0012.exr", "this is not an EXR file");
    const auto result = scene.Run();
    EXPECT_EQ(result.exit_code, kFailureExitCode);
    EXPECT_EQ(LinesStartingWith(result.err, "Exception: ").size() + LinesStartingWith(result.err, "Error: ").size(), 1u)
        << result.err;
    const Names written = OutputNames(scene.Out());
    ASSERT_EQ(written.size(), 10u);
    for (const std::string& name : written) EXPECT_GT(fs::file_size(scene.Out(name)), 0u) << name;
}

TEST(EndToEnd, KeyboardLoopRerunsTheSameFramesFromAReset) {
    Scene scene({"--width", "16", "--height", "16", "--frames", "3"});
    const std::vector<std::string> dumps = {"--do_dump", "--do_dump_output_as_tensor"};
    scene.Run(dumps);
    const auto single_pass = test::FilesWithContents(scene.Out());

    // Two key presses give three passes. The tool then waits at its prompt
    // for ever, so it is stopped there.
    std::vector<std::string> args = scene.args;
    args.insert(args.end(), dumps.begin(), dumps.end());
    args.push_back("--kb_loop");
    const test::ProgramResult looped = test::RunInteractively(INFERENCE_TOOL_PATH, args, "Press any key to re-run", 2);
    EXPECT_EQ(LinesStartingWith(looped.out, "Press any key to re-run").size(), 3u);
    EXPECT_EQ(LinesStartingWith(looped.out, "Writing ").size(), 9u);
    EXPECT_EQ(LinesStartingWith(looped.out, "Selected adapter").size(), 1u) << "one device for every pass";
    // Every pass starts from a reset, so its files, outputs and dumps alike,
    // equal those of a single pass.
    // Compared whole, as printing every dumped table would bury the failure.
    EXPECT_TRUE(test::FilesWithContents(scene.Out()) == single_pass) << "a pass wrote other files or bytes";
    EXPECT_EQ(looped.err.find("softgpu: validation error"), std::string::npos);
}

TEST(EndToEnd, InputsOfOtherSizesAreReadSafely) {
    Scene scene({"--width", "24", "--height", "16", "--frames", "2", "--mask", "--exposure"});
    // Smaller velocity and mask, larger depth, and a colour base offset past the image.
    for (const char* name : {"0000.exr", "0001.exr"}) {
        test::WriteUniform(scene.dir / "velocity" / name, 5, 3, Imf::Rgba(0.5f, 0.5f, 0.0f, 1.0f));
        test::WriteUniform(scene.dir / "depth" / name, 40, 30, Imf::Rgba(0.5f, 0.0f, 0.0f, 1.0f));
        test::WriteUniform(scene.dir / "mask" / name, 2, 1, Imf::Rgba(255.0f, 0.0f, 0.0f, 1.0f));
    }
    const auto result = scene.Run({"--color_base_offset", "30", "2", "--velocity_base_offset", "9", "9"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(OutputNames(scene.Out()).size(), 2u);
}
