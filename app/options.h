#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <utility>

#include "gpu/adapter_settings.h"
#include "run/quality.h"
#include "run/run_settings.h"

// Every variable an option binds to. They live for the whole entry point.
struct OptionValues {
    ScenePaths scene;
    bool copy_exposure_scale_to_exposure_texture = false;
    float exposure_scale = 1.0f;
    uint32_t skip_frames = 0;
    uint32_t max_frames = kDefaultMaxFrames;
    std::string network_name;
    bool do_dump = false;
    bool inversed_mv = false;
    bool do_dump_output_as_tensor = false;
    std::string dump_resource_filter;
    std::string dump_resource_exclude_filter;
    bool load_all_frames = false;
    std::string save_config_to;
    bool kb_loop = false;
    std::string quality = QualityName(kDefaultQuality);
    double dump_roi_size_normalized = 0.0;
    double dump_roi_x0_normalized = 0.0;
    double dump_roi_y0_normalized = 0.0;
    bool inversed_depth = true;
    bool ldr_input_color = false;
    bool jittered_mv = false;
    bool velocity_viewport_space = false;
    std::pair<uint32_t, uint32_t> color_base_offset{0, 0};
    std::pair<uint32_t, uint32_t> velocity_base_offset{0, 0};
    std::pair<uint32_t, uint32_t> depth_base_offset{0, 0};
    std::pair<float, float> jitter_scale{1.0f, 1.0f};
    std::pair<float, float> velocity_scale{1.0f, 1.0f};
    bool raw_jitter = false;
    bool raw_velocity = false;
    AdapterSettings adapter;
};

// Declares every option of the tool on `app`, bound to `values`.
void DeclareOptions(CLI::App& app, OptionValues& values);
// Declares --dxgi_adapter_index and --list_dxgi_adapters bound to `adapter`.
void DeclareAdapterOptions(CLI::App& app, AdapterSettings& adapter);

// Saves the configuration when --save_config_to is given. Returns false when
// the save was refused because it would overwrite the --config source file.
bool SaveConfiguration(const CLI::App& app, OptionValues& values);

RunSettings MakeRunSettings(const OptionValues& values);
