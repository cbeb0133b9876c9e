// Dumps as a user asks for them on the command line.
#include <gtest/gtest.h>

#include <ImfArray.h>
#include <ImfRgbaFile.h>

#include <cstdio>
#include <set>

#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

struct DumpedScene {
    test::TempDir dir;
    std::vector<std::string> args;

    DumpedScene() { args = test::GenerateScene(dir.path(), {"--width", "40", "--height", "24", "--frames", "2"}); }

    test::ProgramResult Run(std::vector<std::string> extra) const {
        std::vector<std::string> all = args;
        all.insert(all.end(), extra.begin(), extra.end());
        const test::ProgramResult result = test::RunTool(all);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.err.find("softgpu: validation error"), std::string::npos) << result.err;
        return result;
    }
    fs::path Dump() const { return dir / "out" / "sequence_dump"; }
};

std::set<std::string> Folders(const fs::path& folder) {
    std::set<std::string> names;
    if (!fs::exists(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_directory()) names.insert(entry.path().filename().string());
    }
    return names;
}

}  // namespace

TEST(DumpEndToEnd, OddInputSizesDumpEveryResource) {
    test::TempDir dir;
    std::vector<std::string> args =
        test::GenerateScene(dir.path(), {"--width", "13", "--height", "9", "--frames", "1"});
    args.push_back("--do_dump");
    const test::ProgramResult result = test::RunTool(args);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err.find("softgpu: validation error"), std::string::npos) << result.err;
    Imf::RgbaInputFile luminance((dir / "out" / "sequence_dump" / "luminance" / "step_0.exr").c_str());
    EXPECT_EQ(luminance.dataWindow().max.x + 1, 13);
    EXPECT_EQ(luminance.dataWindow().max.y + 1, 9);
}

TEST(DumpEndToEnd, FiltersChooseTheResources) {
    DumpedScene scene;
    const auto result = scene.Run({"--do_dump", "--max_frames", "1", "--dump_resource_filter", "history,motion",
                                   "--dump_resource_exclude_filter", "reprojected"});
    EXPECT_EQ(Folders(scene.Dump() / "step_0"),
              (std::set<std::string>{"kavo_history", "history_r11g11b10", "motion", "motion_output_pixels"}));
    EXPECT_NE(result.out.find("reprojected_history <--- skipping dump\n"), std::string::npos);
    EXPECT_NE(result.out.find("luminance <--- skipping dump\n"), std::string::npos);
}

TEST(DumpEndToEnd, OutputAsTensorEqualsTheOutputImageInItsRegion) {
    DumpedScene scene;
    scene.Run({"--do_dump_output_as_tensor", "--dump_roi_size_normalized", "0.25", "--dump_roi_x0_normalized", "0.1"});
    EXPECT_FALSE(fs::exists(scene.Dump() / "step_0" / "kavo_history")) << "only the output is dumped";
    const fs::path tables = scene.Dump() / "step_1" / "0001.exr";
    ASSERT_TRUE(fs::exists(tables / "C_003.csv"));
    EXPECT_FALSE(fs::exists(tables / "C_004.csv"));

    // Read the image with the EXR library directly, not through the tool.
    Imf::RgbaInputFile file((scene.dir / "out" / "0001.exr").c_str());
    const int width = 80, height = 48;
    Imf::Array2D<Imf::Rgba> pixels(height, width);
    file.setFrameBuffer(&pixels[0][0], 1, width);
    file.readPixels(0, height - 1);

    // 80 x 48 quantises to 128 x 128: 0.25 gives 32 + 1 columns from x = 12, rows 0 to 32.
    const std::string table = test::ReadText(tables / "C_001.csv");
    std::string expected = "c_y/x";
    for (int x = 12; x <= 44; ++x) expected += ",x" + std::to_string(x);
    for (int y = 0; y <= 32; ++y) {
        char label[32];
        std::snprintf(label, sizeof label, "\nc001_y%04d", y);
        expected += label;
        for (int x = 12; x <= 44; ++x) {
            char value[32];
            std::snprintf(value, sizeof value, ",%f", static_cast<double>(static_cast<float>(pixels[y][x].g)));
            expected += value;
        }
    }
    EXPECT_EQ(table, expected);
}
