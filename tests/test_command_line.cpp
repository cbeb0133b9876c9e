// The tool's command line as a user meets it: help, parse errors, saving and
// reading configuration files, and the error line of each failure kind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "tests/test_support.h"

using test::RunTool;

namespace {

constexpr int kFailureExitCode = 255;  // -1 as the shell sees it

const std::vector<std::string> kRequired(const test::fs::path& scene) {
    return {"--scene_path",  scene.string(),          "--noaa_name", "c", "--velocity_name", "v", "--jitter_name", "j",
            "--output_path", (scene / "out").string()};
}

}  // namespace

TEST(CommandLine, MissingRequiredOptionIsTheParsersError) {
    const auto result = RunTool({});
    EXPECT_EQ(result.exit_code, 106);  // the option library's code for a missing required option
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("--scene_path is required"), std::string::npos);

    const auto bad_number = RunTool({"--max_frames", "many"});
    EXPECT_NE(bad_number.exit_code, 0);
    EXPECT_NE(bad_number.exit_code, kFailureExitCode);
}

TEST(CommandLine, FailuresPrintOneErrorLineAndExitWithMinusOne) {
    test::TempDir scene_dir;
    auto args = test::GenerateScene(scene_dir.path(), {"--width", "8", "--height", "8", "--frames", "2"});
    test::fs::remove(scene_dir / "velocity" / "0001.exr");
    const auto no_velocity = RunTool(args);
    EXPECT_EQ(no_velocity.exit_code, kFailureExitCode);
    EXPECT_EQ(no_velocity.err, "Error: No \"" + (scene_dir / "velocity" / "0001.exr").string() + "\"\n");

    test::WriteText(scene_dir / "velocity" / "0001.exr", "not an EXR file");
    test::WriteText(scene_dir / "velocity" / "0000.exr", "not an EXR file either");
    const auto corrupt = RunTool(args);
    EXPECT_EQ(corrupt.exit_code, kFailureExitCode);
    EXPECT_EQ(test::LinesStartingWith(corrupt.err, "Exception: ").size() +
                  test::LinesStartingWith(corrupt.err, "Error: ").size(),
              1u)
        << corrupt.err;
}

// The saved file holds the options given, on the command line and in the
// file read, with their help and without defaults; read back, it gives the
// same options. Unknown arguments are ignored, and the run goes on after
// saving.
TEST(ConfigurationSave, WritesGivenOptionsThatReadBackTheSame) {
    test::TempDir dir;
    test::WriteText(dir / "source.ini", "skip_frames=2\n");
    test::fs::create_directories(dir / "sub");
    auto args = kRequired(dir / "scene");
    args.insert(args.end(),
                {"--config", "source.ini", "--do_dump", "--velocity_scale", "2", "0.5", "--inversed_depth=false",
                 "--save_config_to", (dir / "sub" / ".." / "first.ini").string()});
    const auto result = RunTool(args, {}, dir.path());
    const std::string canonical = (test::fs::canonical(dir.path()) / "first.ini").string();
    EXPECT_EQ(result.out.substr(0, result.out.find('\n')), canonical);
    EXPECT_EQ(result.err.rfind("Filesystem error: ", 0), 0u) << "the run went on and failed on the scene";
    EXPECT_FALSE(test::fs::exists(dir / "scene" / "out")) << "no output folder for a scene that is not there";
    const std::string saved = test::ReadText(canonical);
    for (const char* part : {"skip_frames=2", "scene_path=", "velocity_scale=[2, 0.5]",
                             "# Dump resources marked for dumping in model configuration file\ndo_dump=true"}) {
        EXPECT_NE(saved.find(part), std::string::npos) << part << " in\n" << saved;
    }
    EXPECT_EQ(saved.find("max_frames"), std::string::npos) << "defaults are not written";
    EXPECT_EQ(saved.find("config="), std::string::npos) << "--config itself is not written";

    // Read back alone it would name itself as the destination and be refused.
    EXPECT_EQ(RunTool({"--config", "first.ini"}, {}, dir.path()).exit_code, kFailureExitCode);
    RunTool({"--config", "first.ini", "--save_config_to", "second.ini"}, {}, dir.path());
    auto without_destination = [](std::string text) {
        const size_t start = text.find("save_config_to=");
        return start == std::string::npos ? text : text.erase(start, text.find('\n', start) + 1 - start);
    };
    EXPECT_EQ(without_destination(test::ReadText(dir / "second.ini")), without_destination(saved));
}

TEST(ConfigurationSave, RefusesToOverwriteTheSourceFile) {
    test::TempDir dir;
    test::fs::create_directories(dir / "sub");
    auto args = kRequired(dir / "scene");
    test::WriteText(dir / "c.ini", "max_frames=3\n");
    const std::string original = test::ReadText(dir / "c.ini");
    const std::string refusal =
        "Saving configuration to same file as source config is not allowed. Please change destination "
        "configuration filename.\n";

    // The same file through a symbolic and through a hard link is refused too.
    test::fs::create_symlink(dir / "c.ini", dir / "sub" / "link.ini");
    test::fs::create_hard_link(dir / "c.ini", dir / "hard.ini");
    for (const std::string destination : {"./c.ini", "sub/../c.ini", "c.ini", "sub/link.ini", "hard.ini"}) {
        auto with_save = args;
        with_save.insert(with_save.end(), {"--config", "c.ini", "--save_config_to", destination});
        const auto result = RunTool(with_save, {}, dir.path());
        EXPECT_EQ(result.exit_code, kFailureExitCode) << destination;
        EXPECT_EQ(result.err, refusal) << destination;
        EXPECT_EQ(result.out, "") << destination;
    }
    EXPECT_EQ(test::ReadText(dir / "c.ini"), original);
}

TEST(ConfigurationSave, ADeviceAPipeOrAStreamIsWrittenInPlaceNotReplaced) {
    test::TempDir dir;
    const std::vector<std::string> scene =
        test::GenerateScene(dir / "scene", {"--width", "8", "--height", "8", "--frames", "1"});
    // The null device and the tool's own standard output through links of
    // the test's own, which a rename would replace; a pipe that the test
    // holds open for reading.
    test::fs::create_symlink("/proc/self/fd/1", dir / "stdout");
    test::fs::create_symlink("/dev/null", dir / "null");
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
    const int reader = open((dir / "pipe").c_str(), O_RDWR | O_NONBLOCK);
    for (const char* name : {"stdout", "null", "pipe"}) {
        auto args = scene;
        args.insert(args.end(), {"--max_frames", "1", "--save_config_to", (dir / name).string()});
        const auto result = RunTool(args);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_FALSE(test::fs::is_regular_file(test::fs::symlink_status(dir / name))) << name << " was replaced";
    }
    char text[4096];
    const ssize_t length = read(reader, text, sizeof text);
    close(reader);
    EXPECT_NE(std::string(text, std::max<ssize_t>(length, 0)).find("max_frames=1"), std::string::npos);
}

TEST(ConfigurationSave, MissingDestinationFolderIsAFilesystemError) {
    test::TempDir dir;
    test::WriteText(dir / "c.ini", "");
    auto args = kRequired(dir / "scene");
    args.insert(args.end(),
                {"--config", (dir / "c.ini").string(), "--save_config_to", (dir / "missing" / "x.ini").string()});
    const auto result = RunTool(args);
    EXPECT_EQ(result.exit_code, kFailureExitCode);
    EXPECT_EQ(result.err.rfind("Filesystem error: ", 0), 0u) << result.err;
    EXPECT_FALSE(test::fs::exists(dir / "scene" / "out")) << "nothing of the run happened";
}
