#include <cmath>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "gpu/dx12.h"
#include "gpu/exceptions.h"
#include "run/inference_run.h"
#include "run/quality.h"
#include "upscaler/context_creation.h"
#include "upscaler/kavo_context.h"

namespace {

struct NetworkModel {
    const char* name;
    uint32_t number;
};
constexpr NetworkModel NetworkModels[] = {{"kpss", KAVO_MODEL_KPSS}, {"splat", KAVO_MODEL_SPLAT}};

void SelectNetworkModel(InferenceRun& run) {
    if (run.settings.network_name.empty()) return;
    const std::optional<uint32_t> model = NetworkModelNumber(run.settings.network_name);
    if (!model) return;  // an unknown name keeps the library's default model
    std::cout << "Using `" << run.settings.network_name << "` model for inference" << std::endl;
    // A refused model leaves the library on its default; the run goes on,
    // but the line above would name the wrong model without this warning.
    if (kavoSelectNetworkModel(run.kavo_context.get(), *model) != 0) {
        std::cerr << "Warning: the library refused the `" << run.settings.network_name
                  << "` model; its default model is used" << std::endl;
    }
}

void DeriveOutputResolution(InferenceRun& run) {
    const ImageSize input = run.frame_queue.front().color_size;
    const float factor = UpscaleFactor(run.settings.quality_value);
    run.output_resolution = {OutputSize(input.width, factor), OutputSize(input.height, factor)};
    std::cout << "Color input resolution = {" << input.width << "x" << input.height << "}\n"
              << "Kavo Output resolution = {" << run.output_resolution[0] << "x" << run.output_resolution[1] << "}\n"
              << "Upscale factor = x" << factor << std::endl;
}

void InitializeLibrary(InferenceRun& run) {
    KavoProperties properties{};
    ThrowIfKavoFailed(kavoGetProperties(run.kavo_context.get(), run.output_resolution.data(), &properties),
                      "Unable to get props");

    KavoInitParams params{};
    params.output_width = run.output_resolution[0];
    params.output_height = run.output_resolution[1];
    params.quality = run.settings.quality_value;
    params.flags = InitFlags(run.settings);
    ThrowIfKavoFailed(kavoD3D12Init(run.kavo_context.get(), &params), "Unable to initialize kavo");
}

void CreateCommandObjects(InferenceRun& run) {
    Dx12& dx12 = GetDx12();
    run.app_cmd_allocator = dx12.CreateCommandAllocator();
    run.app_cmd_list = dx12.CreateCommandList(run.app_cmd_allocator.Get());
    Orfa::SetDebugName(run.app_cmd_list.Get(), L"app_cmd_list");
    run.app_fence = dx12.CreateFence(0);  // initial value: no frame done yet
    Orfa::SetDebugName(run.app_fence.Get(), L"app_fence");
}

void ApplyScales(InferenceRun& run) {
    const RunSettings& s = run.settings;
    if (s.jitter_scale_set) {
        std::cout << "using jitter scale\n";
        ThrowIfKavoFailed(kavoSetJitterScale(run.kavo_context.get(), s.jitter_scale.first, s.jitter_scale.second),
                          "kavoSetJitterScale failed");
    }
    if (s.velocity_scale_set) {
        std::cout << "using velocity scale\n";
        ThrowIfKavoFailed(kavoSetVelocityScale(run.kavo_context.get(), s.velocity_scale.first, s.velocity_scale.second),
                          "kavoSetVelocityScale failed");
    }
}

}  // namespace

void ThrowIfKavoFailed(int32_t result, const char* message) {
    if (result != KAVO_SUCCESS) throw std::runtime_error(message);
}

std::optional<uint32_t> NetworkModelNumber(const std::string& name) {
    for (const NetworkModel& model : NetworkModels) {
        if (name == model.name) return model.number;
    }
    return std::nullopt;
}

uint32_t InitFlags(const RunSettings& s) {
    uint32_t flags = 0;
    if (s.no_depth) flags |= KAVO_INIT_FLAG_NO_DEPTH;
    if (s.inversed_depth) flags |= KAVO_INIT_FLAG_INVERTED_DEPTH;
    if (s.has_exposure_texture_name || s.copy_exposure_scale_to_exposure_texture) {
        flags |= KAVO_INIT_FLAG_EXPOSURE_TEXTURE;
    }
    if (s.has_responsive_mask) flags |= KAVO_INIT_FLAG_RESPONSIVE_MASK;
    if (!s.velocity_viewport_space) flags |= KAVO_INIT_FLAG_VELOCITY_NDC;
    if (s.ldr_input_color) flags |= KAVO_INIT_FLAG_LDR_INPUT_COLOR;
    if (s.jittered_mv) flags |= KAVO_INIT_FLAG_JITTERED_MV;
    return flags;
}

void CreateUpscalerContext(InferenceRun& run) {
    // Without a frame there is no input size: stop before any device exists.
    if (run.frame_queue.empty()) {
        throw std::runtime_error("No frames to upscale in scene \"" + run.paths.scene_path + "\"");
    }
    run.device = GetDx12().device_;
    KavoContext context = nullptr;
    const KavoResult created = kavoD3D12CreateContext(run.device.Get(), &context);
    run.kavo_context = OwnKavoContext(context);
    ThrowIfKavoFailed(created, "Unable to create kavo context");
    SelectNetworkModel(run);
    DeriveOutputResolution(run);
    InitializeLibrary(run);
    CreateCommandObjects(run);
    ApplyScales(run);
}
