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

const std::set<std::string> kImageResources = {
    "kavo_history",         "reprojected_history", "reconstruction_weights", "history_r11g11b10", "motion",
    "motion_output_pixels", "luminance",           "previous_depth"};
const std::set<std::string> kTensorResources = {"luminance_pyramid", "clip_boxes", "packed_features",
                                                "sample_counts_int32_"};

}  // namespace

TEST(DumpEndToEnd, EveryListedResourceOfEveryFrame) {
    DumpedScene scene;
    const auto result = scene.Run({"--do_dump"});
    for (const char* step : {"step_0", "step_1"}) {
        std::set<std::string> expected = kImageResources;
        expected.insert(kTensorResources.begin(), kTensorResources.end());
        EXPECT_EQ(Folders(scene.Dump() / step), expected) << step;
        for (const std::string& name : kImageResources) {
            EXPECT_TRUE(fs::exists(scene.Dump() / name / (std::string(step) + ".exr"))) << name;
        }
        EXPECT_TRUE(fs::exists(scene.Dump() / step / "clip_boxes" / "C_007.pgm"));
        EXPECT_TRUE(fs::exists(scene.Dump() / step / "packed_features" / "C_031.csv"));
        EXPECT_TRUE(fs::exists(scene.Dump() / step / "sample_counts_int32_" / "C_001.pgm"));
        EXPECT_FALSE(fs::exists(scene.Dump() / step / "luminance_pyramid" / "C_000.pgm"))
            << "float tensors have no PGM";
    }
    EXPECT_NE(result.out.find("dump_tensor: kavo_history(original name === kavo:history) as fp64"), std::string::npos);
    EXPECT_NE(result.out.find("Dumping clip_boxes\n"), std::string::npos);
    EXPECT_NE(result.out.find("clip_boxes/C_000.csv | pad_x = 1 | pad_y = 1"), std::string::npos);
}

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

TEST(DumpEndToEnd, KeyboardLoopRerunOverwritesTheSameFiles) {
    DumpedScene scene;
    scene.Run({"--do_dump", "--do_dump_output_as_tensor"});
    const auto first = test::FilesWithContents(scene.dir / "out");
    std::vector<std::string> args = scene.args;
    args.insert(args.end(), {"--do_dump", "--do_dump_output_as_tensor", "--kb_loop"});
    const auto looped = test::RunInteractively(INFERENCE_TOOL_PATH, args, "Press any key to re-run", 1);
    EXPECT_EQ(looped.err.find("softgpu: validation error"), std::string::npos);
    EXPECT_EQ(test::FilesWithContents(scene.dir / "out"), first);
}
