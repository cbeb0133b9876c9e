// A stand-in of the upscaler library for the tests: it has the library's nine
// functions, writes every call with all its arguments to the file that
// KAVO_RECORD_FILE names, and forwards each call to the reference library.
// The tool loads it in place of libkavo.so when the tests put its folder
// first on the library search path.
//
// Record lines are "function key=value ... -> result"; a texture is given
// by its size and format ("8,6/10"), a pointer by "set" or "null".
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "sdk/kavo_api.h"

namespace {

// The reference library's functions, loaded privately so that its names do
// not meet ours.
struct RealLibrary {
    decltype(&kavoD3D12CreateContext) create_context;
    decltype(&kavoSelectNetworkModel) select_network_model;
    decltype(&kavoGetProperties) get_properties;
    decltype(&kavoD3D12Init) init;
    decltype(&kavoSetJitterScale) set_jitter_scale;
    decltype(&kavoSetVelocityScale) set_velocity_scale;
    decltype(&kavoD3D12Execute) execute;
    decltype(&kavoD3D12GetResourcesToDump) get_resources_to_dump;
    decltype(&kavoDestroyContext) destroy_context;
};

template <class Function>
void Load(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    if (function == nullptr) {
        std::fprintf(stderr, "kavo_recorder: %s is missing from %s\n", name, REAL_KAVO_LIBRARY);
        std::abort();
    }
}

const RealLibrary& Real() {
    static const RealLibrary real = [] {
        void* library = dlopen(REAL_KAVO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            std::fprintf(stderr, "kavo_recorder: %s\n", dlerror());
            std::abort();
        }
        RealLibrary functions{};
        Load(library, "kavoD3D12CreateContext", functions.create_context);
        Load(library, "kavoSelectNetworkModel", functions.select_network_model);
        Load(library, "kavoGetProperties", functions.get_properties);
        Load(library, "kavoD3D12Init", functions.init);
        Load(library, "kavoSetJitterScale", functions.set_jitter_scale);
        Load(library, "kavoSetVelocityScale", functions.set_velocity_scale);
        Load(library, "kavoD3D12Execute", functions.execute);
        Load(library, "kavoD3D12GetResourcesToDump", functions.get_resources_to_dump);
        Load(library, "kavoDestroyContext", functions.destroy_context);
        return functions;
    }();
    return real;
}

std::string Float(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string Number(uint64_t value) { return std::to_string(value); }
std::string Number(uint32_t value) { return std::to_string(value); }

std::string Pair(uint32_t x, uint32_t y) { return Float(x) + "," + Float(y); }

// A texture's size and format.
std::string Shape(ID3D12Resource* texture) {
    if (texture == nullptr) return "null";
    const D3D12_RESOURCE_DESC desc = texture->GetDesc();
    return Pair(static_cast<uint32_t>(desc.Width), desc.Height) + "/" + Number(static_cast<uint32_t>(desc.Format));
}

// Appends "line -> result" to the record file, when one is named, and
// passes the result on.
KavoResult Finish(const std::string& line, KavoResult result) {
    if (const char* path = std::getenv("KAVO_RECORD_FILE")) {
        if (std::FILE* file = std::fopen(path, "a")) {
            std::fprintf(file, "%s -> %s\n", line.c_str(), std::to_string(result).c_str());
            std::fclose(file);
        }
    }
    return result;
}

template <size_t N, class T>
bool AllZero(const T (&values)[N]) {
    for (const T& value : values) {
        if (value != 0) return false;
    }
    return true;
}

}  // namespace

KAVO_API KavoResult kavoD3D12CreateContext(ID3D12Device* device, KavoContext* context) {
    return Finish(std::string("kavoD3D12CreateContext device=") + (device ? "set" : "null"),
                  Real().create_context(device, context));
}

// KAVO_RECORD_REFUSE_MODELS set: every model is refused, as a library
// without that model would.
KAVO_API KavoResult kavoSelectNetworkModel(KavoContext context, uint32_t model) {
    const bool refused = std::getenv("KAVO_RECORD_REFUSE_MODELS") != nullptr;
    return Finish("kavoSelectNetworkModel model=" + Number(model),
                  refused ? KavoResult{1} : Real().select_network_model(context, model));
}

KAVO_API KavoResult kavoGetProperties(KavoContext context, uint32_t* output_resolution, KavoProperties* properties) {
    const std::string resolution = output_resolution ? Pair(output_resolution[0], output_resolution[1]) : "null";
    return Finish("kavoGetProperties output_resolution=" + resolution,
                  Real().get_properties(context, output_resolution, properties));
}

KAVO_API KavoResult kavoD3D12Init(KavoContext context, const KavoInitParams* params) {
    std::string line = "kavoD3D12Init";
    if (params != nullptr) {
        line += " output=" + Pair(params->output_width, params->output_height) + " quality=" + Number(params->quality) +
                " flags=" + Number(params->flags) + " reserved=" + (AllZero(params->reserved) ? "0" : "set");
    }
    return Finish(line, Real().init(context, params));
}

KAVO_API KavoResult kavoSetJitterScale(KavoContext context, float x, float y) {
    return Finish("kavoSetJitterScale x=" + Float(x) + " y=" + Float(y), Real().set_jitter_scale(context, x, y));
}

KAVO_API KavoResult kavoSetVelocityScale(KavoContext context, float x, float y) {
    return Finish("kavoSetVelocityScale x=" + Float(x) + " y=" + Float(y), Real().set_velocity_scale(context, x, y));
}

KAVO_API KavoResult kavoD3D12Execute(KavoContext context, ID3D12GraphicsCommandList* command_list,
                                     const KavoExecuteParams* params) {
    static uint64_t executions = 0;
    std::string line = "kavoD3D12Execute frame=" + Number(executions++);
    if (params != nullptr && command_list != nullptr) {
        const KavoExecuteParams& p = *params;
        line += " color=" + Shape(p.color) + " velocity=" + Shape(p.velocity) + " depth=" + Shape(p.depth) +
                " exposure=" + Shape(p.exposure) + " mask=" + Shape(p.responsive_mask);
        const D3D12_RESOURCE_DESC output = p.output ? p.output->GetDesc() : D3D12_RESOURCE_DESC{};
        line +=
            " output=" + (p.output ? Pair(static_cast<uint32_t>(output.Width), output.Height) : "null") +
            " jitter=" + Float(p.jitter_x) + "," + Float(p.jitter_y) + " exposure_scale=" + Float(p.exposure_scale) +
            " reset=" + Number(p.reset) + " input=" + Pair(p.input_width, p.input_height) +
            " color_base=" + Pair(p.color_base.x, p.color_base.y) +
            " velocity_base=" + Pair(p.velocity_base.x, p.velocity_base.y) +
            " depth_base=" + Pair(p.depth_base.x, p.depth_base.y) + " reserved=" + (AllZero(p.reserved) ? "0" : "set");
    }
    return Finish(line, Real().execute(context, command_list, params));
}

KAVO_API KavoResult kavoD3D12GetResourcesToDump(KavoContext context, const ResourceDumpList** list) {
    const KavoResult result = Real().get_resources_to_dump(context, list);
    std::string line = "kavoD3D12GetResourcesToDump";
    if (result == KAVO_SUCCESS && list != nullptr && *list != nullptr) line += " count=" + Number((*list)->count);
    return Finish(line, result);
}

KAVO_API KavoResult kavoDestroyContext(KavoContext context) {
    return Finish(std::string("kavoDestroyContext context=") + (context ? "set" : "null"),
                  Real().destroy_context(context));
}
