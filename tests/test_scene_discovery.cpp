// Finding a scene's frames and their companion files.
#include <gtest/gtest.h>

#include "run/inference_run.h"
#include "scene/scene_discovery.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

struct Scene {
    test::TempDir dir;
    RunSettings settings;
    ScenePaths paths;

    Scene() {
        for (const char* folder : {"c", "v", "d", "j", "e", "m"}) fs::create_directories(dir / folder);
        paths = {dir.path().string(), "c", "v", "d", "j", "e", "m", (dir / "out").string()};
        settings.no_depth = false;
        settings.has_exposure_texture_name = true;
        settings.has_responsive_mask = true;
    }

    // Creates the file in each named folder (empty files: discovery only tests existence).
    void AddFrame(const std::string& name, const std::string& folders = "cvdje") {
        for (char folder : folders) test::WriteText(dir / std::string(1, folder) / name, "");
    }

    std::unique_ptr<InferenceRun> Discover() {
        auto run = std::make_unique<InferenceRun>(settings);
        run->paths = paths;
        DiscoverScene(*run);
        return run;
    }
};

std::vector<std::string> ColorNames(const InferenceRun& run) {
    std::vector<std::string> names;
    for (const FrameFiles& frame : run.frame_files) names.push_back(frame.noaa_path.filename().string());
    return names;
}

std::string MissingMessage(const std::function<void()>& discover) {
    try {
        discover();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(no error)";
}

}  // namespace

TEST(SceneDiscovery, OrdersFramesByPlainNameComparisonAndKeepsOnlyExrFiles) {
    Scene scene;
    for (const char* name : {"2.exr", "10.exr", "1.exr", "a.b.exr", "B.exr"}) scene.AddFrame(name);
    for (const char* name : {"A.EXR", "x.Exr", "y.exr.bak", "noext", ".exr"}) scene.AddFrame(name);
    fs::create_directories(scene.dir / "c" / "folder.exr");
    fs::create_directories(scene.dir / "c" / "sub");
    test::WriteText(scene.dir / "c" / "sub" / "3.exr", "");
    fs::create_symlink(scene.dir / "c" / "nowhere.exr", scene.dir / "c" / "broken.exr");

    const auto run = scene.Discover();
    EXPECT_EQ(ColorNames(*run), (std::vector<std::string>{"1.exr", "10.exr", "2.exr", "B.exr", "a.b.exr"}));
    EXPECT_TRUE(fs::is_directory(scene.dir / "out"));
}

TEST(SceneDiscovery, OptionalFoldersAreNotConsultedWhenSwitchedOff) {
    Scene scene;
    scene.paths.depth_name = "";
    scene.paths.responsive_mask_name = "";
    scene.settings.copy_exposure_scale_to_exposure_texture = true;
    scene.AddFrame("1.exr", "cvj");
    test::WriteText(scene.dir / "1.exr", "");  // would be found if the empty mask name were joined
    const auto run = scene.Discover();
    ASSERT_EQ(run->frame_files.size(), 1u);
    EXPECT_TRUE(run->frame_files[0].depth_path.empty());
    EXPECT_TRUE(run->frame_files[0].exposure_path.empty());
    EXPECT_TRUE(run->frame_files[0].responsive_mask_path.empty());
}

TEST(SceneDiscovery, FirstMissingCompanionIsReportedInCheckingOrder) {
    struct Case {
        std::string present;
        std::string missing_folder;
    };
    for (const Case& c :
         {Case{"cdje", "v"}, Case{"cvje", "d"}, Case{"cvde", "j"}, Case{"cvdj", "e"}, Case{"cj", "v"}}) {
        Scene scene;
        scene.AddFrame("1.exr");
        scene.AddFrame("2.exr", c.present);
        const std::string expected = "No \"" + (scene.dir / c.missing_folder / "2.exr").string() + "\"";
        EXPECT_EQ(MissingMessage([&] { scene.Discover(); }), expected) << c.present;
        EXPECT_FALSE(fs::exists(scene.dir / "out")) << "the output folder is created last";
    }
}

TEST(SceneDiscovery, AbsoluteFolderOptionReplacesTheScenePath) {
    Scene scene;
    test::TempDir elsewhere;
    scene.paths.velocity_name = elsewhere.path().string();
    scene.AddFrame("1.exr", "cdje");
    test::WriteText(elsewhere / "1.exr", "");
    const auto run = scene.Discover();
    EXPECT_EQ(run->frame_files.at(0).velocity_path, elsewhere / "1.exr");
}
