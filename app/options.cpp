#include "app/options.h"

#include <cmath>
#include <filesystem>
#include <iostream>

#include "run/atomic_file.h"
#include "run/path_text.h"

namespace fs = std::filesystem;

namespace {

const char* const kResourceFilterHelp = "resname1,resname2,resname3,... where resname is part of the resource name";

const char* const kRoiSizeHelp =
    "Normalized ROI (region of interest) size for x,y dimensions. Used to reduce dumped tensor area, "
    "and helps to speedup dump comparsions. Resulting tensor size for x-dimension (width) === "
    "Original_Tensor_Width * ROI_size_normalized. Size for y-dimension (height) === "
    "Original_Tensor_Width * ROI_size_normalized. Resulting ROI region e [(x0,y0), (x0 + width, y0 + height)) "
    "is clamped against tensor spatial dimensions and then adjusted for paddingsettings set for each tensor in dump "
    "API.";

std::string QualityHelp() {
    std::string help = "Available network quality settings: ";
    for (const Quality& quality : kQualities) {
        help += quality.name;
        help += ',';
    }
    return help;
}

// A scale pair counts as given unless both values equal 1 (NaN counts as given).
bool ScaleIsSet(const std::pair<float, float>& scale) { return !(scale.first == 1.0f && scale.second == 1.0f); }

// The canonical form of the destination: its folder resolved, its file name kept.
// A bare file name is resolved against the current folder, so that it is
// compared with the source as the same file it will be written to.
std::string CanonicalDestination(const std::string& save_config_to) {
    const fs::path destination(save_config_to);
    fs::path folder = destination.parent_path();
    if (folder.empty()) {
        folder = fs::current_path();
    }
    return PathToUtf8(fs::canonical(folder.lexically_normal()) / destination.filename());
}

// True when both names reach one existing file, through a symbolic or a hard
// link as well as by the same path.
bool NamesSameFile(const std::string& source, const std::string& destination) {
    std::error_code error;
    return fs::equivalent(fs::path(source), PathFromUtf8(destination), error) && !error;
}

}  // namespace

void DeclareAdapterOptions(CLI::App& app, AdapterSettings& adapter) {
    app.add_option("--dxgi_adapter_index", adapter.adapter_index, "DXGI Adapter index to use.");
    app.add_flag("--list_dxgi_adapters", adapter.list_adapters, "Print DXGI adapter indexes to stdout");
}

void DeclareOptions(CLI::App& app, OptionValues& v) {
    RunSettings& s = v.settings;
    app.description("Inference tool");
    app.allow_extras(true);
    app.allow_config_extras(CLI::config_extras_mode::ignore_all);
    app.set_config("--config", "", "Read an ini file", false);

    app.add_option("--scene_path", v.scene.scene_path, "Source scene path")->required();
    app.add_option("--noaa_name", v.scene.noaa_name)->required();
    app.add_option("--velocity_name", v.scene.velocity_name)->required();
    app.add_option("--depth_name", v.scene.depth_name);
    app.add_option("--jitter_name", v.scene.jitter_name)->required();
    app.add_option("--exposure_name", v.scene.exposure_name);
    app.add_flag("--copy_exposure_scale_to_exposure_texture", s.copy_exposure_scale_to_exposure_texture,
                 "Use exposure texture instead of root constant exposure scale, but fetch value from --exposure_scale");
    app.add_option("--exposure_scale", s.exposure_scale);
    app.add_option("--responsive_mask_name", v.scene.responsive_mask_name);
    app.add_option("--output_path", v.scene.output_path)->required();
    app.add_option("--skip_frames", s.skip_frames);
    app.add_option("--max_frames", s.max_frames);
    app.add_option("--network_name", s.network_name);
    app.add_flag("--do_dump", s.do_dump, "Dump resources marked for dumping in model configuration file");
    app.add_flag("--inversed_mv", s.inversed_mv, "Current to previous frame velocity direction");
    app.add_flag("--do_dump_output_as_tensor", s.do_dump_output_as_tensor,
                 "Dump inference result as tensor (one CSV table per channel) in addition to EXR");
    app.add_option("--dump_resource_filter", s.dump_resource_filter, kResourceFilterHelp);
    app.add_option("--dump_resource_exclude_filter", s.dump_resource_exclude_filter, kResourceFilterHelp);
    app.add_flag("--load_all_frames", v.load_all_frames, "Load all frames to RAM at once");
    app.add_option("--save_config_to", v.save_config_to, "Config file to save, to be later used with --config option.");
    app.add_flag("--kb_loop", v.kb_loop, "Re-run inference on keypress, until Ctrl+C is pressed");
    app.add_option("--quality", v.quality, QualityHelp());
    app.add_option("--dump_roi_size_normalized", v.dump_roi_size_normalized, kRoiSizeHelp);
    app.add_option("--dump_roi_x0_normalized", v.dump_roi_x0_normalized,
                   "Normalized x-axis offset for ROIs origin in image/tensor space.");
    app.add_option("--dump_roi_y0_normalized", v.dump_roi_y0_normalized,
                   "Normalized y-axis offset for ROIs origin in image/tensor space.");
    app.add_flag("--inversed_depth", s.inversed_depth,
                 "Corresponds to KAVO_INIT_FLAG_INVERTED_DEPTH - Assume depth is stored in reverzed-Z format.");
    app.add_flag("--ldr_input_color", s.ldr_input_color,
                 "Corresponds to KAVO_INIT_FLAG_LDR_INPUT_COLOR - Assume input color is LDR.");
    app.add_flag("--jittered_mv", s.jittered_mv,
                 "Corresponds to KAVO_INIT_FLAG_JITTERED_MV - Assume input motion vector has jitter.");
    app.add_flag("--velocity_viewport_space", s.velocity_viewport_space,
                 "Assume velocity vectors are given is viewport space, in pixels.");
    app.add_option("--color_base_offset", s.color_base_offset,
                   "Base coordinate for the input color in the texture. Default is 0 0.");
    app.add_option("--velocity_base_offset", s.velocity_base_offset,
                   "Base coordinate for the input motion vector in the texture. Default is 0 0.");
    app.add_option("--depth_base_offset", s.depth_base_offset,
                   "Base coordinate for the input depth in the texture.  Default is 0 0.");
    app.add_option("--jitter_scale", s.jitter_scale, "Jitter scaling for kavoSetJitterScale. Default is 1 1.");
    app.add_option("--velocity_scale", s.velocity_scale, "Jitter scaling for kavoSetVelocityScale. Default is 1 1.");
    app.add_flag("--raw_jitter", s.raw_jitter,
                 "Assume jitter is stored 'as is' - signed Red,Green components, no encoding. Defailt is False.");
    app.add_flag("--raw_velocity", s.raw_velocity,
                 "Assume velocity is stored 'as is' - signed Red,Green components, no encoding. Default is False.");

    DeclareAdapterOptions(app, v.adapter);
}

bool SaveConfiguration(const CLI::App& app, OptionValues& values) {
    if (values.save_config_to.empty()) {
        return true;
    }
    const CLI::Option* config = app.get_option("--config");
    if (config->count() > 0) {
        const std::string source = PathToUtf8(fs::canonical(fs::path(config->as<std::string>()).lexically_normal()));
        const std::string destination = CanonicalDestination(values.save_config_to);
        if (source == destination || NamesSameFile(config->as<std::string>(), destination)) {
            std::cerr << "Saving configuration to same file as source config is not allowed. "
                         "Please change destination configuration filename."
                      << std::endl;
            return false;
        }
        values.save_config_to = destination;
        std::cout << destination << std::endl;
    }
    // A file that cannot be written is skipped silently: saving is a
    // convenience and must not stop the run. It is written whole or not at
    // all, so an earlier file of that name is never left half overwritten.
    AtomicFile file(PathFromUtf8(values.save_config_to), AtomicFile::Mode::kText);
    if (file.TryOpen()) {
        try {
            file.Write(app.config_to_str(false, true));
            file.Commit();
        } catch (const std::exception&) {
        }
    }
    return true;
}

RunSettings MakeRunSettings(const OptionValues& v) {
    RunSettings s = v.settings;
    s.no_depth = v.scene.depth_name.empty();
    s.has_exposure_texture_name = !v.scene.exposure_name.empty();
    s.has_responsive_mask = !v.scene.responsive_mask_name.empty();
    s.quality_value = QualityFromName(v.quality);
    s.queue_capacity = v.load_all_frames ? kUnset32 : kDefaultQueueCapacity;
    s.roi_size = std::fabs(v.dump_roi_size_normalized);
    s.roi_enabled = s.roi_size > 0.0;
    s.roi_x0 = std::fabs(v.dump_roi_x0_normalized);
    s.roi_y0 = std::fabs(v.dump_roi_y0_normalized);
    s.jitter_scale_set = ScaleIsSet(s.jitter_scale);
    s.velocity_scale_set = ScaleIsSet(s.velocity_scale);
    return s;
}
