// Options, derived settings and configuration files.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/options.h"
#include "tests/test_support.h"

namespace {

struct Parsed {
    CLI::App app;
    OptionValues values;
};

const std::vector<std::string> kRequired = {"--scene_path",  "s", "--noaa_name",   "c", "--velocity_name", "v",
                                            "--jitter_name", "j", "--output_path", "o"};

// Parses `extra` after the required options, as the entry point does.
std::unique_ptr<Parsed> Parse(std::vector<std::string> extra) {
    auto parsed = std::make_unique<Parsed>();
    DeclareOptions(parsed->app, parsed->values);
    std::vector<std::string> args = {"inference_tool"};
    args.insert(args.end(), kRequired.begin(), kRequired.end());
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    parsed->app.parse(static_cast<int>(argv.size()), argv.data());
    return parsed;
}

RunSettings SettingsOf(std::vector<std::string> extra) { return MakeRunSettings(Parse(std::move(extra))->values); }

}  // namespace

TEST(Quality, NamesMapToNumbersAndEverythingElseToPerformance) {
    EXPECT_EQ(QualityFromName("ultra_quality"), 104u);
    EXPECT_EQ(QualityFromName("quality"), 103u);
    EXPECT_EQ(QualityFromName("balanced"), 102u);
    EXPECT_EQ(QualityFromName("performance"), 101u);
    EXPECT_EQ(QualityFromName("ultra"), 101u);
    EXPECT_EQ(QualityFromName("Quality"), 101u);
    EXPECT_EQ(QualityFromName(""), 101u);
    EXPECT_EQ(QualityName(101), "performance");
    EXPECT_EQ(QualityName(7), "");
}

TEST(RunSettingsFromOptions, RegionOfInterestIsStoredAsAbsoluteValues) {
    const RunSettings s = SettingsOf({"--dump_roi_size_normalized", "-0.25", "--dump_roi_x0_normalized", "-0.5",
                                      "--dump_roi_y0_normalized", "0.75"});
    EXPECT_TRUE(s.roi_enabled);
    EXPECT_DOUBLE_EQ(s.roi_size, 0.25);
    EXPECT_DOUBLE_EQ(s.roi_x0, 0.5);
    EXPECT_DOUBLE_EQ(s.roi_y0, 0.75);
}

TEST(ConfigurationFile, CommandLineWinsOverTheFileAndUnknownKeysAreIgnored) {
    test::TempDir dir;
    test::WriteText(dir / "c.ini",
                    "# a comment\nskip_frames=4\nmax_frames=9\nno_such_option=1\ncolor_base_offset=[5,6]\n"
                    "network_name=\"splat\"\n");
    const RunSettings s = SettingsOf({"--config", (dir / "c.ini").string(), "--max_frames", "2"});
    EXPECT_EQ(s.skip_frames, 4u);
    EXPECT_EQ(s.max_frames, 2u);
    EXPECT_EQ(s.color_base_offset, std::make_pair(5u, 6u));
    EXPECT_EQ(s.network_name, "splat");
}
