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

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

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
             std::fill_n(&pixels[0][0], 16, Imf::Rgba(0.5f, 1.0f, 2.0f, 1.0f));
             WriteExrImage((folder / "0000.exr").string(), {.width = 4, .height = 4}, pixels, Imf::PIZ_COMPRESSION);
         }},
        {"dump image", [](const fs::path& folder) { return folder / "step_0.exr"; },
         [](const fs::path& folder) {
             Imf::Array2D<FloatPixel> pixels(4, 4);
             std::fill_n(&pixels[0][0], 16, FloatPixel{0.5f, 1.0f, 2.0f, 1.0f});
             WriteDumpExr((folder / "step_0.exr").string(), {.width = 4, .height = 4}, pixels, Imf::NO_COMPRESSION);
         }},
        {"table", [](const fs::path& folder) { return folder / "sequence_dump" / "step_0" / "t" / "C_000.csv"; },
         [](const fs::path& folder) {
             const std::string directory = folder.string();
             DumpTensorAsFp64(Tensor<double>(1, 4, 4), 0, 0, {.output_directory = directory}, "t");
         }},
        {"image of a table",
         [](const fs::path& folder) { return folder / "sequence_dump" / "step_0" / "t" / "C_000.pgm"; },
         [](const fs::path& folder) {
             const std::string directory = folder.string();
             DumpTensorAsInt32(Tensor<int32_t>(1, 4, 4), 0, 0, {.output_directory = directory}, "t");
         }},
    };
    return writers;
}

}  // namespace

fs::path OldTemporaryName(const fs::path& final_path) { return final_path.string() + ".tmp"; }

// Something another user or run left at a name the writer uses: the old
// predictable temporary name, or the final name itself.
struct Planted {
    const char* what;
    std::function<void(const fs::path& final_path, const fs::path& outside)> plant;
    bool at_temporary_name;  // else at the final name
    bool replaced;           // the final name then holds the written file
    bool refused;            // the write fails with "unable to create file"
};

const std::vector<Planted>& PlantedThings() {
    static const std::vector<Planted> planted = {
        {"link at the temporary name",
         [](const fs::path& f, const fs::path& outside) { fs::create_symlink(outside, OldTemporaryName(f)); }, true,
         false, false},
        {"hard link at the temporary name",
         [](const fs::path& f, const fs::path& outside) { fs::create_hard_link(outside, OldTemporaryName(f)); }, true,
         false, false},
        {"pipe at the temporary name",
         [](const fs::path& f, const fs::path&) { mkfifo(OldTemporaryName(f).c_str(), 0644); }, true, false, false},
        {"link at the final name", [](const fs::path& f, const fs::path& outside) { fs::create_symlink(outside, f); },
         false, true, false},
        {"hard link at the final name",
         [](const fs::path& f, const fs::path& outside) { fs::create_hard_link(outside, f); }, false, true, false},
        {"device at the final name", [](const fs::path& f, const fs::path&) { fs::create_symlink("/dev/null", f); },
         false, false, false},
        {"directory at the final name", [](const fs::path& f, const fs::path&) { fs::create_directory(f); }, false,
         false, true},
        {"pipe without a reader at the final name", [](const fs::path& f, const fs::path&) { mkfifo(f.c_str(), 0644); },
         false, false, true},
    };
    return planted;
}

TEST(WholeFiles, NothingPlantedAtATemporaryOrFinalNameIsWrittenThrough) {
    for (const Writer& writer : Writers()) {
        test::TempDir clean;
        writer.write(clean.path());
        const std::string expected = test::ReadText(writer.final_path(clean.path()));
        for (const Planted& planted : PlantedThings()) {
            // A table's creation is retried for ten seconds; the image of a
            // table takes the same way through the writer.
            if (planted.refused && std::string(writer.what) == "table") continue;
            const std::string what = std::string(writer.what) + ", " + planted.what;
            test::TempDir dir;
            const fs::path final_path = writer.final_path(dir / "out"), outside = dir / "outside";
            fs::create_directories(final_path.parent_path());
            test::WriteText(outside, "another user's file");
            planted.plant(final_path, outside);
            const fs::path planted_at = planted.at_temporary_name ? OldTemporaryName(final_path) : final_path;

            try {
                writer.write(dir / "out");
                EXPECT_FALSE(planted.refused) << what;
            } catch (const std::exception& error) {
                EXPECT_TRUE(planted.refused) << what << ": " << error.what();
                EXPECT_NE(std::string(error.what()).find(final_path.string() + ": unable to create file"),
                          std::string::npos)
                    << what << ": " << error.what();
            }
            EXPECT_EQ(test::ReadText(outside), "another user's file") << what;
            if (planted.replaced || planted.at_temporary_name) {
                EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(final_path))) << what;
                EXPECT_TRUE(test::ReadText(final_path) == expected) << what << ": the file is not whole";
            }
            if (!planted.replaced) {
                EXPECT_TRUE(fs::exists(fs::symlink_status(planted_at))) << what << " is gone";
            }
            EXPECT_EQ(TemporaryFiles(dir / "out").size(), planted.at_temporary_name ? 1u : 0u)
                << what << ": a temporary file is left behind";
        }
    }
}

TEST(WholeFiles, FileSizeLimitStopsTheRunWithOneErrorAndNoBrokenFile) {
    test::TempDir dir;
    const std::vector<std::string> scene =
        test::GenerateScene(dir.path(), {"--width", "40", "--height", "24", "--frames", "2"});
    struct Case {
        uint64_t limit;
        const char* failing_file;
        const char* prefix;
        size_t whole_frames;
    };
    // Each output frame takes 7 to 19 KB and each of its tables 35 KB.
    for (const Case& c : {Case{4096, "0000.exr", "Exception: ", 0}, Case{25000, "C_000.csv", "Error: ", 1}}) {
        fs::remove_all(dir / "out");
        std::vector<std::string> args = scene;
        args.push_back("--do_dump_output_as_tensor");
        const test::ProgramResult result = test::RunWithFileSizeLimit(INFERENCE_TOOL_PATH, args, c.limit);
        EXPECT_EQ(result.exit_code, kFailureExitCode) << c.limit;
        // A frame fails as the EXR library's files do; a table with the tool's own error.
        EXPECT_EQ(test::LinesStartingWith(result.err, c.prefix).size(), 1u) << result.err;
        EXPECT_EQ(test::LinesStartingWith(result.err, "").size(), 1u) << result.err;
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

TEST(WholeFiles, TwoRunsIntoOneFolderBothSucceedAndEveryFileIsWhole) {
    test::TempDir dir;
    std::vector<std::string> args =
        test::GenerateScene(dir.path(), {"--width", "48", "--height", "32", "--frames", "4"});
    args.push_back("--do_dump");
    ASSERT_EQ(test::RunTool(args).exit_code, 0);
    const auto expected = test::FilesWithContents(dir / "out");
    // The same scene gives the same bytes: whichever run's file lands last,
    // it must be whole and equal to a lone run's.
    for (int round = 0; round < 3; ++round) {
        fs::remove_all(dir / "out");
        test::StartedProgram first(INFERENCE_TOOL_PATH, args), second(INFERENCE_TOOL_PATH, args);
        const test::ProgramResult a = first.Wait(), b = second.Wait();
        EXPECT_EQ(a.exit_code, 0) << a.err;
        EXPECT_EQ(b.exit_code, 0) << b.err;
        EXPECT_TRUE(test::FilesWithContents(dir / "out") == expected) << "round " << round;
    }
}

TEST(WholeFiles, EverySignalThatEndsARunRemovesItsTemporaryFiles) {
    test::TempDir dir;
    std::vector<std::string> args =
        test::GenerateScene(dir.path(), {"--width", "96", "--height", "64", "--frames", "4"});
    args.insert(args.end(), {"--do_dump", "--kb_loop"});
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        test::StartedProgram run(INFERENCE_TOOL_PATH, args);
        // Signalled while dumps are being written; key presses run the
        // scene again until then.
        const Clock::time_point give_up = Clock::now() + std::chrono::seconds(30);
        auto dumping = [&] {
            const std::vector<std::string> names = TemporaryFiles(dir / "out");
            return std::any_of(names.begin(), names.end(),
                               [](const std::string& name) { return name.find("sequence_dump") != std::string::npos; });
        };
        while (!dumping() && Clock::now() < give_up) run.Type("\n");
        run.Kill(signal_number);
        const test::ProgramResult result = run.Wait();
        EXPECT_EQ(result.signal, signal_number) << "ended as the signal ends a program";
        EXPECT_EQ(TemporaryFiles(dir / "out"), std::vector<std::string>{}) << strsignal(signal_number);
    }
}

TEST(UnsafeInputs, APipeAsAnInputFrameIsRefusedByName) {
    for (const char* folder : {"velocity", "depth", "jitter", "exposure", "mask"}) {
        test::TempDir dir;
        const std::vector<std::string> args = test::GenerateScene(
            dir / "scene", {"--width", "8", "--height", "8", "--frames", "2", "--exposure", "--mask"});
        const fs::path pipe = dir / "scene" / folder / "0001.exr";
        fs::remove(pipe);
        ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
        test::StartedProgram run(INFERENCE_TOOL_PATH, args, [] { alarm(30); });  // a hang ends the run
        const test::ProgramResult result = run.Wait();
        EXPECT_EQ(result.exit_code, kFailureExitCode) << folder;
        EXPECT_EQ(result.err, "Exception: Cannot read image file \"" + pipe.string() + "\". Not a regular file.\n");
    }
}

TEST(UnsafeInputs, AnOutputFolderThatIsAnInputFolderIsRefusedBeforeAnyWrite) {
    test::TempDir dir;
    const std::vector<std::string> scene =
        test::GenerateScene(dir / "scene", {"--width", "8", "--height", "8", "--frames", "2", "--exposure", "--mask"});
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
    const std::vector<std::string> args =
        test::GenerateScene(dir / "scene", {"--width", "8", "--height", "8", "--frames", "1", "--exposure"});
    // A header that claims 16385 x 16385 pixels, with no pixels behind it.
    const fs::path claim = dir / "scene" / "color" / "0000.exr";
    {
        Imf::Header header(16385, 16385);
        header.compression() = Imf::ZIP_COMPRESSION;
        header.channels().insert("R", Imf::Channel(Imf::HALF));
        Imf::OutputFile file(claim.c_str(), header);
    }
    ASSERT_LT(fs::file_size(claim), 100000u);
    // Jitter and exposure become no texture: only their first pixel is read,
    // whatever their size.
    test::WriteUniform(dir / "scene" / "jitter" / "0000.exr", 16385, 2, Imf::Rgba(0.25f, 0.25f, 0.0f, 1.0f));
    test::WriteUniform(dir / "scene" / "exposure" / "0000.exr", 16385, 1, Imf::Rgba(1.0f, 0.0f, 0.0f, 1.0f));
    test::ProgramResult result = test::RunTool(args);
    EXPECT_EQ(result.exit_code, kFailureExitCode);
    EXPECT_EQ(result.err, "Exception: " + claim.string() +
                              ": image of 16385 x 16385 pixels is larger than the largest texture of 16384 x 16384\n");

    // With a colour image of its usual size the run goes through.
    test::WriteUniform(claim, 8, 8, Imf::Rgba(1, 2, 3, 4));
    result = test::RunTool(args);
    EXPECT_EQ(result.exit_code, 0) << result.err;

    // The largest texture itself is read.
    test::WriteUniform(dir / "wide.exr", 16384, 1, Imf::Rgba(1, 2, 3, 4));
    ExrImageInfo info;
    Imf::Array2D<Imf::Rgba> pixels;
    ReadExrImage((dir / "wide.exr").string(), info, pixels);
    EXPECT_EQ(info.width, 16384u);
}
