#include "scene/scene_discovery.h"

#include <algorithm>
#include <stdexcept>

#include "run/inference_run.h"
#include "run/path_text.h"

namespace fs = std::filesystem;

namespace {

struct SceneFolders {
    fs::path color;
    fs::path velocity;
    fs::path depth;  // empty: depth is not consulted
    fs::path jitter;
    fs::path exposure;         // empty: exposure files are not consulted
    fs::path responsive_mask;  // empty: no mask files are looked for
};

SceneFolders FormFolders(const InferenceRun& run) {
    const fs::path scene(run.paths.scene_path);
    const auto& settings = run.settings;
    SceneFolders folders;
    folders.color = scene / run.paths.noaa_name;
    folders.velocity = scene / run.paths.velocity_name;
    if (!run.paths.depth_name.empty()) {
        folders.depth = scene / run.paths.depth_name;
    }
    folders.jitter = scene / run.paths.jitter_name;
    if (!run.paths.exposure_name.empty() && !settings.copy_exposure_scale_to_exposure_texture) {
        folders.exposure = scene / run.paths.exposure_name;
    }
    if (!run.paths.responsive_mask_name.empty()) {
        folders.responsive_mask = scene / run.paths.responsive_mask_name;
    }
    return folders;
}

bool IsColorFrame(const fs::directory_entry& entry) {
    // status() follows links, so a link to a file counts and a broken link does not.
    return fs::is_regular_file(entry.status()) && entry.path().extension() == ".exr";
}

void RequireFile(const fs::path& path) {
    if (!fs::exists(path)) {
        throw std::runtime_error("No \"" + PathToUtf8(path) + "\"");
    }
}

FrameFiles DescribeFrame(const SceneFolders& folders, const fs::path& file_name, const fs::path& output_folder) {
    FrameFiles frame;
    frame.noaa_path = folders.color / file_name;
    frame.velocity_path = folders.velocity / file_name;
    if (!folders.depth.empty()) {
        frame.depth_path = folders.depth / file_name;
    }
    frame.jitter_path = folders.jitter / file_name;
    if (!folders.exposure.empty()) {
        frame.exposure_path = folders.exposure / file_name;
    }

    // Companions are checked in a fixed order so the first missing one is reported.
    for (const fs::path* required :
         {&frame.noaa_path, &frame.velocity_path, &frame.depth_path, &frame.jitter_path, &frame.exposure_path}) {
        if (!required->empty()) {
            RequireFile(*required);
        }
    }

    if (!folders.responsive_mask.empty() && fs::exists(folders.responsive_mask / file_name)) {
        frame.responsive_mask_path = folders.responsive_mask / file_name;
    }
    frame.output_path = output_folder / file_name;
    return frame;
}

// The outputs carry the colour files' names, so an output folder that is
// one of the input folders would overwrite the scene's own frames.
void RefuseOutputIntoInputs(const SceneFolders& folders, const fs::path& output_folder) {
    std::error_code error;
    if (!fs::exists(output_folder, error)) return;
    for (const fs::path* input : {&folders.color, &folders.velocity, &folders.depth, &folders.jitter, &folders.exposure,
                                  &folders.responsive_mask}) {
        if (!input->empty() && fs::equivalent(output_folder, *input, error)) {
            throw std::runtime_error("Output path \"" + PathToUtf8(output_folder) + "\" is the input folder \"" +
                                     PathToUtf8(*input) + "\"; its frames would be overwritten");
        }
    }
}

}  // namespace

void DiscoverScene(InferenceRun& run) {
    const SceneFolders folders = FormFolders(run);
    const fs::path output_folder(run.paths.output_path);
    RefuseOutputIntoInputs(folders, output_folder);

    for (const fs::directory_entry& entry : fs::directory_iterator(folders.color)) {
        if (IsColorFrame(entry)) {
            run.frame_files.push_back(DescribeFrame(folders, entry.path().filename(), output_folder));
        }
    }
    std::sort(run.frame_files.begin(), run.frame_files.end(),
              [](const FrameFiles& a, const FrameFiles& b) { return a.noaa_path < b.noaa_path; });

    fs::create_directories(output_folder);
}
