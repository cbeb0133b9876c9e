// Files the tool writes are whole under their final names or not there at
// all, whatever stops a run: a full disk, a file-size limit, a kill.
#include <gtest/gtest.h>

#include <ImfChannelList.h>
#include <ImfOutputFile.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <thread>

#include "dump/dump_writer.h"
#include "dump/tensor_dump.h"
#include "scene/exr_image.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFailureExitCode = 255;

std::vector<std::string> TemporaryFiles(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.path().extension() == ".tmp") names.push_back(entry.path().string());
    }
    return names;
}

std::vector<std::string> WithOutput(std::vector<std::string> args, const fs::path& output) {
    const auto option = std::find(args.begin(), args.end(), "--output_path");
    *(option + 1) = output.string();
    return args;
}

// One writer of the tool, asked to write `final_path`.
struct Writer {
    const char* what;
    std::function<fs::path(const fs::path& folder)> final_path;
    std::function<void(const fs::path& folder)> write;
};

const std::vector<Writer>& Writers() {
    static const std::vector<Writer> writers = {
        {"output frame", [](const fs::path& folder) { return folder / "0000.exr"; },
         [](const fs::path& folder) {
             Imf::Array2D<Imf::Rgba> pixels(4, 4);
             WriteExrImage((folder / "0000.exr").string(), {.width = 4, .height = 4}, pixels, Imf::PIZ_COMPRESSION);
         }},
        {"dump image", [](const fs::path& folder) { return folder / "step_0.exr"; },
         [](const fs::path& folder) {
             Imf::Array2D<FloatPixel> pixels(4, 4);
             WriteDumpExr((folder / "step_0.exr").string(), {.width = 4, .height = 4}, pixels, Imf::NO_COMPRESSION);
         }},
        {"table", [](const fs::path& folder) { return folder / "sequence_dump" / "step_0" / "t" / "C_000.csv"; },
         [](const fs::path& folder) {
             const std::string directory = folder.string();
             DumpTensorAsFp64(Tensor<double>(1, 4, 4), 0, 0, {.output_directory = &directory}, "t");
         }},
        {"image of a table",
         [](const fs::path& folder) { return folder / "sequence_dump" / "step_0" / "t" / "C_000.pgm"; },
         [](const fs::path& folder) {
             const std::string directory = folder.string();
             DumpTensorAsInt32(Tensor<int32_t>(1, 4, 4), 0, 0, {.output_directory = &directory}, "t");
         }},
    };
    return writers;
}

}  // namespace

TEST(WholeFiles, AFullDiskLeavesEveryFinalNameAsItWas) {
    for (const Writer& writer : Writers()) {
        test::TempDir dir;
        const fs::path final_path = writer.final_path(dir.path());
        fs::create_directories(final_path.parent_path());
        test::WriteText(final_path, "the previous run's file");
        // The temporary file lands on a device that is always full.
        fs::path temporary = final_path;
        temporary += ".tmp";
        fs::create_symlink("/dev/full", temporary);

        testing::internal::CaptureStdout();
        try {
            writer.write(dir.path());
            ADD_FAILURE() << writer.what << ": a write to a full disk must fail";
        } catch (const std::exception& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find(final_path.string() + ": unable to write file"), std::string::npos) << message;
            EXPECT_NE(message.find("(No space left on device)"), std::string::npos) << message;
        }
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(test::ReadText(final_path), "the previous run's file") << writer.what;
        EXPECT_FALSE(fs::is_symlink(temporary)) << writer.what << ": the temporary file is removed";
    }
}

TEST(WholeFiles, FileSizeLimitStopsTheRunWithOneErrorAndNoBrokenFile) {
    test::TempDir dir;
    const std::vector<std::string> scene =
        test::GenerateScene(dir.path(), {"--width", "40", "--height", "24", "--frames", "2"});
    struct Case {
        uint64_t limit;
        const char* failing_file;
        size_t whole_frames;
    };
    // Each output frame takes 7 to 19 KB and each of its tables 35 KB.
    for (const Case& c : {Case{4096, "0000.exr", 0}, Case{25000, "C_000.csv", 1}}) {
        fs::remove_all(dir / "out");
        std::vector<std::string> args = scene;
        args.push_back("--do_dump_output_as_tensor");
        const test::ProgramResult result = test::RunWithFileSizeLimit(INFERENCE_TOOL_PATH, args, c.limit);
        EXPECT_EQ(result.exit_code, kFailureExitCode) << c.limit;
        EXPECT_EQ(test::LinesStartingWith(result.err, "Error: ").size(), 1u) << result.err;
        EXPECT_NE(result.err.find(std::string(c.failing_file) + ": unable to write file"), std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find("(File too large)"), std::string::npos) << result.err;

        size_t frames = 0;
        for (const auto& entry : fs::recursive_directory_iterator(dir / "out")) {
            if (entry.path().extension() != ".exr" || !entry.is_regular_file()) continue;
            ExrImageInfo info;
            Imf::Array2D<Imf::Rgba> pixels;
            EXPECT_NO_THROW(ReadExrImage(entry.path().string(), info, pixels)) << entry.path();
            ++frames;
        }
        EXPECT_EQ(frames, c.whole_frames) << c.limit;
        EXPECT_EQ(TemporaryFiles(dir / "out"), std::vector<std::string>{}) << c.limit;
    }
}

TEST(WholeFiles, KilledRunsLeaveEveryFinalFileAsBeforeOrWhole) {
    test::TempDir dir;
    std::vector<std::string> args =
        test::GenerateScene(dir.path(), {"--width", "96", "--height", "64", "--frames", "6"});
    args.push_back("--do_dump");
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(test::RunTool(args).exit_code, 0);
    const auto run_time = Clock::now() - start;
    const auto reference = test::FilesWithContents(dir / "out");
    const std::map<std::string, std::string> expected(reference.begin(), reference.end());

    // Kills spread over the run: six over the complete outputs of the run
    // above, then two that start from an empty folder.
    for (int round = 0; round < 8; ++round) {
        const bool over_outputs = round < 6;
        if (!over_outputs) fs::remove_all(dir / "out");
        {
            test::StartedProgram run(INFERENCE_TOOL_PATH, args);
            std::this_thread::sleep_for(run_time * (round % 5 + 1) / 6);
            run.Kill();
            run.Wait();
        }
        size_t final_files = 0;
        for (const auto& [name, contents] : test::FilesWithContents(dir / "out")) {
            if (fs::path(name).extension() == ".tmp") continue;
            ++final_files;
            const auto found = expected.find(name);
            ASSERT_NE(found, expected.end()) << name;
            EXPECT_TRUE(contents == found->second) << "round " << round << ": " << name << " is not whole";
        }
        if (over_outputs) {
            EXPECT_EQ(final_files, expected.size()) << "round " << round;
        }
    }
}

TEST(UnsafeInputs, AnOutputFolderThatIsAnInputFolderIsRefusedBeforeAnyWrite) {
    test::TempDir dir;
    const std::vector<std::string> scene =
        test::MakeScene(dir / "scene", {.frames = 2, .exposure = true, .mask_frames = {0}});
    fs::create_directory_symlink(dir / "scene" / "color", dir / "link_to_color");
    const auto inputs_before = test::FilesWithContents(dir / "scene");
    for (const fs::path& output : {dir / "scene" / "color", dir / "scene" / "velocity", dir / "scene" / "depth",
                                   dir / "scene" / "jitter", dir / "scene" / "exposure", dir / "scene" / "mask",
                                   dir / "scene" / "jitter" / ".." / "color", dir / "link_to_color"}) {
        const test::ProgramResult result = test::RunTool(WithOutput(scene, output));
        EXPECT_EQ(result.exit_code, kFailureExitCode) << output;
        EXPECT_EQ(result.err.rfind("Error: Output path \"" + output.string() + "\" is the input folder \"", 0), 0u)
            << result.err;
        EXPECT_EQ(test::LinesStartingWith(result.out, "Loading: ").size(), 0u) << output;
    }
    EXPECT_EQ(test::FilesWithContents(dir / "scene"), inputs_before);

    // The scene folder itself holds no frames: writing there is allowed.
    EXPECT_EQ(test::RunTool(WithOutput(scene, dir / "scene")).exit_code, 0);
}

TEST(UnsafeInputs, AnImageLargerThanAnyTextureIsRefusedFromItsHeader) {
    test::TempDir dir;
    const std::vector<std::string> args = test::MakeScene(dir / "scene", {.frames = 1});
    // A header that claims 16385 x 16385 pixels, with no pixels behind it.
    const fs::path claim = dir / "scene" / "color" / "0000.exr";
    {
        Imf::Header header(16385, 16385);
        header.compression() = Imf::ZIP_COMPRESSION;
        header.channels().insert("R", Imf::Channel(Imf::HALF));
        Imf::OutputFile file(claim.c_str(), header);
    }
    ASSERT_LT(fs::file_size(claim), 100000u);
    const test::ProgramResult result = test::RunTool(args);
    EXPECT_EQ(result.exit_code, kFailureExitCode);
    EXPECT_EQ(result.err, "Exception: " + claim.string() +
                              ": image of 16385 x 16385 pixels is larger than the largest texture of 16384 x 16384\n");

    // The largest texture itself is read.
    test::WriteUniform(dir / "wide.exr", 16384, 1, Imf::Rgba(1, 2, 3, 4));
    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> pixels;
    ReadExrImage((dir / "wide.exr").string(), info, pixels);
    EXPECT_EQ(info.width, 16384u);
}
