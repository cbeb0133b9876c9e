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

std::vector<std::string> OptionsInHelp(const std::string& help) {
    // Option lines start with two blanks and the option's name.
    std::vector<std::string> names;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  -h,", 0) == 0) line.erase(2, 3);
        if (line.rfind("  --", 0) != 0) continue;
        const size_t end = line.find_first_of(" ", 2);
        names.push_back(line.substr(2, end == std::string::npos ? std::string::npos : end - 2));
    }
    return names;
}

const std::vector<std::string> kRequired(const test::fs::path& scene) {
    return {"--scene_path",  scene.string(),          "--noaa_name", "c", "--velocity_name", "v", "--jitter_name", "j",
            "--output_path", (scene / "out").string()};
}

}  // namespace

TEST(CommandLine, HelpListsEveryOptionInDeclarationOrder) {
    const auto result = RunTool({"--help"});
    EXPECT_EQ(result.exit_code, 0);
    const std::vector<std::string> expected = {"--help",
                                               "--config",
                                               "--scene_path",
                                               "--noaa_name",
                                               "--velocity_name",
                                               "--depth_name",
                                               "--jitter_name",
                                               "--exposure_name",
                                               "--copy_exposure_scale_to_exposure_texture",
                                               "--exposure_scale",
                                               "--responsive_mask_name",
                                               "--output_path",
                                               "--skip_frames",
                                               "--max_frames",
                                               "--network_name",
                                               "--do_dump",
                                               "--inversed_mv",
                                               "--do_dump_output_as_tensor",
                                               "--dump_resource_filter",
                                               "--dump_resource_exclude_filter",
                                               "--load_all_frames",
                                               "--save_config_to",
                                               "--kb_loop",
                                               "--quality",
                                               "--dump_roi_size_normalized",
                                               "--dump_roi_x0_normalized",
                                               "--dump_roi_y0_normalized",
                                               "--inversed_depth",
                                               "--ldr_input_color",
                                               "--jittered_mv",
                                               "--velocity_viewport_space",
                                               "--color_base_offset",
                                               "--velocity_base_offset",
                                               "--depth_base_offset",
                                               "--jitter_scale",
                                               "--velocity_scale",
                                               "--raw_jitter",
                                               "--raw_velocity",
                                               "--dxgi_adapter_index",
                                               "--list_dxgi_adapters"};
    EXPECT_EQ(OptionsInHelp(result.out), expected);
    EXPECT_NE(result.out.find("Inference tool"), std::string::npos);
    EXPECT_NE(result.out.find("Available network quality settings: ultra_quality,quality,balanced,performance,"),
              std::string::npos);
    EXPECT_NE(result.out.find("Jitter scaling for kavoSetVelocityScale. Default is 1 1."), std::string::npos);
}

TEST(CommandLine, MissingRequiredOptionIsTheParsersError) {
    const auto result = RunTool({});
    EXPECT_EQ(result.exit_code, 106);  // the option library's code for a missing required option
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("--scene_path is required"), std::string::npos);

    const auto bad_number = RunTool({"--max_frames", "many"});
    EXPECT_NE(bad_number.exit_code, 0);
    EXPECT_NE(bad_number.exit_code, kFailureExitCode);
}

TEST(CommandLine, UnknownArgumentsAreIgnored) {
    test::TempDir dir;
    auto args = kRequired(dir.path());
    args.insert(args.end(), {"--no_such_option", "3", "stray"});
    const auto result = RunTool(args);
    // Parsing succeeded: the run itself fails on the missing colour folder.
    EXPECT_EQ(result.exit_code, kFailureExitCode);
    EXPECT_EQ(result.err.rfind("Filesystem error: ", 0), 0u) << result.err;
}

TEST(CommandLine, FailuresPrintOneErrorLineAndExitWithMinusOne) {
    test::TempDir scene_dir;
    auto args = test::MakeScene(scene_dir.path(), {.frames = 2});
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

TEST(ConfigurationSave, WritesGivenOptionsWithTheirHelpAndTheRunGoesOn) {
    test::TempDir dir;
    test::WriteText(dir / "source.ini", "skip_frames=2\n");
    auto args = kRequired(dir / "scene");
    args.insert(args.end(), {"--config", (dir / "source.ini").string(), "--do_dump", "--save_config_to",
                             (dir / "sub" / ".." / "saved.ini").string()});
    test::fs::create_directories(dir / "sub");
    const auto result = RunTool(args);

    const std::string canonical = (test::fs::canonical(dir.path()) / "saved.ini").string();
    EXPECT_EQ(result.out.substr(0, result.out.find('\n')), canonical);
    const std::string saved = test::ReadText(canonical);
    EXPECT_NE(saved.find("skip_frames=2"), std::string::npos) << saved;
    EXPECT_NE(saved.find("# Dump resources marked for dumping in model configuration file\ndo_dump=true"),
              std::string::npos)
        << saved;
    EXPECT_NE(saved.find("scene_path="), std::string::npos);
    EXPECT_EQ(saved.find("max_frames"), std::string::npos) << "defaults are not written";
    EXPECT_EQ(saved.find("config="), std::string::npos) << "--config itself is not written";
    // The run went on and failed on the scene, after saving.
    EXPECT_EQ(result.err.rfind("Filesystem error: ", 0), 0u);
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
    const std::vector<std::string> scene = test::MakeScene(dir / "scene", {});
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

TEST(ConfigurationSave, SavedFileReadsBackToTheSameOptions) {
    test::TempDir dir;
    auto args = kRequired(dir / "scene");
    args.insert(args.end(), {"--quality", "balanced", "--velocity_scale", "2", "0.5", "--inversed_depth=false",
                             "--save_config_to", "first.ini"});
    RunTool(args, {}, dir.path());
    ASSERT_TRUE(test::fs::exists(dir / "first.ini"));

    // Read back alone it would name itself as the destination and be refused.
    const auto alone = RunTool({"--config", "first.ini"}, {}, dir.path());
    EXPECT_EQ(alone.exit_code, kFailureExitCode);

    RunTool({"--config", "first.ini", "--save_config_to", "second.ini"}, {}, dir.path());
    auto without_destination = [](std::string text) {
        const size_t start = text.find("save_config_to=");
        return start == std::string::npos ? text : text.erase(start, text.find('\n', start) + 1 - start);
    };
    EXPECT_EQ(without_destination(test::ReadText(dir / "second.ini")),
              without_destination(test::ReadText(dir / "first.ini")));
    EXPECT_NE(test::ReadText(dir / "second.ini").find("velocity_scale=[2, 0.5]"), std::string::npos)
        << test::ReadText(dir / "second.ini");
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
