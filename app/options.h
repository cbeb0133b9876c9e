#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <utility>

#include "gpu/adapter_settings.h"
#include "run/quality.h"
#include "run/run_settings.h"

// Every variable an option binds to. They live for the whole entry point.
// Options that are settings of the run bind straight into `settings`, whose
// defaults are theirs; the rest are read once to derive the others.
struct OptionValues {
    RunSettings settings;
    ScenePaths scene;
    bool load_all_frames = false;
    std::string save_config_to;
    bool kb_loop = false;
    std::string quality = QualityName(kDefaultQuality);
    double dump_roi_size_normalized = 0.0;
    double dump_roi_x0_normalized = 0.0;
    double dump_roi_y0_normalized = 0.0;
    AdapterSettings adapter;
};

// Declares every option of the tool on `app`, bound to `values`.
void DeclareOptions(CLI::App& app, OptionValues& values);
// Declares --dxgi_adapter_index and --list_dxgi_adapters bound to `adapter`.
void DeclareAdapterOptions(CLI::App& app, AdapterSettings& adapter);

// Saves the configuration when --save_config_to is given. Returns false when
// the save was refused because it would overwrite the --config source file.
bool SaveConfiguration(const CLI::App& app, OptionValues& values);

// The bound settings with their derived fields filled in.
RunSettings MakeRunSettings(const OptionValues& values);
