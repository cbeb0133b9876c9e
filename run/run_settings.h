#pragma once

#include <cstdint>
#include <string>
#include <utility>

// The 32-bit value with every bit set: an option that was not given (no
// adapter index) or a limit that does not limit (the queue of
// --load_all_frames).
inline constexpr uint32_t kUnset32 = 0xFFFFFFFFu;

// Frames decoded ahead of execution, and the frames a run executes at most,
// unless the options say otherwise.
inline constexpr uint32_t kDefaultQueueCapacity = 10;
inline constexpr uint32_t kDefaultMaxFrames = 10000;

// The settings of one run, copied whole into the run object. Most options
// bind straight into these fields, so their defaults here are the options'
// defaults; the derived fields (no_depth, has_*, quality_value,
// queue_capacity, roi_*, *_scale_set) are filled in right after parsing.
struct RunSettings {
    bool do_dump = false;
    bool inversed_mv = false;
    bool no_depth = true;
    bool has_exposure_texture_name = false;
    bool has_responsive_mask = false;
    uint32_t skip_frames = 0;
    uint32_t max_frames = kDefaultMaxFrames;
    float exposure_scale = 1.0f;
    bool copy_exposure_scale_to_exposure_texture = false;
    std::string network_name;
    bool do_dump_output_as_tensor = false;
    std::string dump_resource_filter;
    std::string dump_resource_exclude_filter;
    uint32_t quality_value = 101;
    uint32_t queue_capacity = kDefaultQueueCapacity;
    bool roi_enabled = false;
    double roi_size = 0.0;
    double roi_x0 = 0.0;
    double roi_y0 = 0.0;
    bool inversed_depth = true;
    bool ldr_input_color = false;
    bool jittered_mv = false;
    bool velocity_viewport_space = false;
    std::pair<uint32_t, uint32_t> color_base_offset{0, 0};
    std::pair<uint32_t, uint32_t> velocity_base_offset{0, 0};
    std::pair<uint32_t, uint32_t> depth_base_offset{0, 0};
    bool jitter_scale_set = false;
    std::pair<float, float> jitter_scale{1.0f, 1.0f};
    bool velocity_scale_set = false;
    std::pair<float, float> velocity_scale{1.0f, 1.0f};
    bool raw_velocity = false;
    bool raw_jitter = false;
};

// The scene and output folders as given on the command line.
struct ScenePaths {
    std::string scene_path;
    std::string noaa_name;
    std::string velocity_name;
    std::string depth_name;
    std::string jitter_name;
    std::string exposure_name;
    std::string responsive_mask_name;
    std::string output_path;
};
