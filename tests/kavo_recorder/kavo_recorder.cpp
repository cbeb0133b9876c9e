// A stand-in of the upscaler library for the tests: it has the library's nine
// functions, writes every call with all its arguments to the file that
// KAVO_RECORD_FILE names, and forwards each call to the reference library.
// The tool loads it in place of libkavo.so when the tests put its folder
// first on the library search path.
//
// Record lines are "function key=value ... -> result". For every
// kavoD3D12Execute the recorder also reads back what each input texture holds
// when the library's work runs, as any caller would: it records copies into
// the caller's command list ahead of the library's work and reads them at the
// next call, when the caller has waited for the list. The bytes of input
// `name` of execution `frame` (rows packed, no row pitch) go to the file
// "<record file>.<frame>.<name>".
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "sdk/kavo_api.h"

namespace {

template <class T>
using ComPtr = Microsoft::WRL::ComPtr<T>;

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

// One input texture copied into a readback buffer, to be read at the next call.
struct PendingReadback {
    std::string file;
    ComPtr<ID3D12Resource> buffer;
    D3D12_PLACED_SUBRESOURCE_FOOTPRINT layout{};
    UINT rows = 0;
    UINT64 row_size = 0;
};

class Recorder {
public:
    bool On() const { return !base_.empty(); }

    void Line(const std::string& text) {
        if (!On()) return;
        if (std::FILE* file = std::fopen(base_.c_str(), "a")) {
            std::fprintf(file, "%s\n", text.c_str());
            std::fclose(file);
        }
    }

    // Reads every readback of the previous execution into its file.
    void Collect() {
        for (const PendingReadback& readback : pending_) {
            void* mapped = nullptr;
            if (FAILED(readback.buffer->Map(0, nullptr, &mapped))) continue;
            if (std::FILE* file = std::fopen(readback.file.c_str(), "wb")) {
                const auto* base = static_cast<const unsigned char*>(mapped) + readback.layout.Offset;
                for (UINT y = 0; y < readback.rows; ++y) {
                    std::fwrite(base + uint64_t{y} * readback.layout.Footprint.RowPitch, 1, readback.row_size, file);
                }
                std::fclose(file);
            }
            readback.buffer->Unmap(0, nullptr);
        }
        pending_.clear();
    }

    // Records the copy of `texture` (subresource 0, in the state the library
    // reads its inputs in) into `list`; returns its size and format.
    std::string ReadBack(ID3D12GraphicsCommandList* list, ID3D12Resource* texture, uint64_t frame,
                         const std::string& name) {
        if (texture == nullptr) return "null";
        const D3D12_RESOURCE_DESC desc = texture->GetDesc();
        const std::string shape =
            Pair(static_cast<uint32_t>(desc.Width), desc.Height) + "/" + Number(static_cast<uint32_t>(desc.Format));
        if (!On()) return shape;
        ComPtr<ID3D12Device> device;
        if (FAILED(texture->GetDevice(IID_PPV_ARGS(&device)))) return shape + "/no-device";
        PendingReadback readback;
        readback.file = base_ + "." + Number(frame) + "." + name;
        UINT64 total = 0;
        device->GetCopyableFootprints(&desc, 0, 1, 0, &readback.layout, &readback.rows, &readback.row_size, &total);

        D3D12_RESOURCE_DESC buffer_desc = {};
        buffer_desc.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
        buffer_desc.Width = total + readback.layout.Offset;
        buffer_desc.Height = 1;
        buffer_desc.DepthOrArraySize = 1;
        buffer_desc.MipLevels = 1;
        buffer_desc.SampleDesc.Count = 1;
        buffer_desc.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
        D3D12_HEAP_PROPERTIES heap = {};
        heap.Type = D3D12_HEAP_TYPE_READBACK;
        if (FAILED(device->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &buffer_desc,
                                                   D3D12_RESOURCE_STATE_COPY_DEST, nullptr,
                                                   IID_PPV_ARGS(&readback.buffer)))) {
            return shape + "/no-readback";
        }
        Transition(list, texture, D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE, D3D12_RESOURCE_STATE_COPY_SOURCE);
        D3D12_TEXTURE_COPY_LOCATION to = {};
        to.pResource = readback.buffer.Get();
        to.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
        to.PlacedFootprint = readback.layout;
        D3D12_TEXTURE_COPY_LOCATION from = {};
        from.pResource = texture;
        from.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
        list->CopyTextureRegion(&to, 0, 0, 0, &from, nullptr);
        Transition(list, texture, D3D12_RESOURCE_STATE_COPY_SOURCE, D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE);
        pending_.push_back(std::move(readback));
        return shape;
    }

    uint64_t NextExecution() { return executions_++; }

    static Recorder& Instance() {
        static Recorder recorder;
        return recorder;
    }

private:
    Recorder() {
        if (const char* file = std::getenv("KAVO_RECORD_FILE")) base_ = file;
    }

    static void Transition(ID3D12GraphicsCommandList* list, ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
                           D3D12_RESOURCE_STATES after) {
        D3D12_RESOURCE_BARRIER barrier = {};
        barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
        barrier.Transition.pResource = resource;
        barrier.Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
        barrier.Transition.StateBefore = before;
        barrier.Transition.StateAfter = after;
        list->ResourceBarrier(1, &barrier);
    }

    std::string base_;
    std::vector<PendingReadback> pending_;
    uint64_t executions_ = 0;
};

// Every call starts by reading what the previous execution's copies brought.
Recorder& Begin() {
    Recorder& recorder = Recorder::Instance();
    recorder.Collect();
    return recorder;
}

KavoResult Finish(Recorder& recorder, const std::string& line, KavoResult result) {
    recorder.Line(line + " -> " + std::to_string(result));
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
    Recorder& recorder = Begin();
    return Finish(recorder, std::string("kavoD3D12CreateContext device=") + (device ? "set" : "null"),
                  Real().create_context(device, context));
}

// KAVO_RECORD_REFUSE_MODELS set: every model is refused, as a library
// without that model would.
KAVO_API KavoResult kavoSelectNetworkModel(KavoContext context, uint32_t model) {
    Recorder& recorder = Begin();
    const bool refused = std::getenv("KAVO_RECORD_REFUSE_MODELS") != nullptr;
    return Finish(recorder, "kavoSelectNetworkModel model=" + Number(model),
                  refused ? KavoResult{1} : Real().select_network_model(context, model));
}

KAVO_API KavoResult kavoGetProperties(KavoContext context, uint32_t* output_resolution, KavoProperties* properties) {
    Recorder& recorder = Begin();
    const std::string resolution = output_resolution ? Pair(output_resolution[0], output_resolution[1]) : "null";
    return Finish(recorder, "kavoGetProperties output_resolution=" + resolution,
                  Real().get_properties(context, output_resolution, properties));
}

KAVO_API KavoResult kavoD3D12Init(KavoContext context, const KavoInitParams* params) {
    Recorder& recorder = Begin();
    std::string line = "kavoD3D12Init";
    if (params != nullptr) {
        line += " output=" + Pair(params->output_width, params->output_height) + " quality=" + Number(params->quality) +
                " flags=" + Number(params->flags) + " reserved=" + (AllZero(params->reserved) ? "0" : "set");
    }
    return Finish(recorder, line, Real().init(context, params));
}

KAVO_API KavoResult kavoSetJitterScale(KavoContext context, float x, float y) {
    Recorder& recorder = Begin();
    return Finish(recorder, "kavoSetJitterScale x=" + Float(x) + " y=" + Float(y),
                  Real().set_jitter_scale(context, x, y));
}

KAVO_API KavoResult kavoSetVelocityScale(KavoContext context, float x, float y) {
    Recorder& recorder = Begin();
    return Finish(recorder, "kavoSetVelocityScale x=" + Float(x) + " y=" + Float(y),
                  Real().set_velocity_scale(context, x, y));
}

KAVO_API KavoResult kavoD3D12Execute(KavoContext context, ID3D12GraphicsCommandList* command_list,
                                     const KavoExecuteParams* params) {
    Recorder& recorder = Begin();
    const uint64_t frame = recorder.NextExecution();
    std::string line = "kavoD3D12Execute frame=" + Number(frame);
    if (params != nullptr && command_list != nullptr) {
        const KavoExecuteParams& p = *params;
        line += " color=" + recorder.ReadBack(command_list, p.color, frame, "color") +
                " velocity=" + recorder.ReadBack(command_list, p.velocity, frame, "velocity") +
                " depth=" + recorder.ReadBack(command_list, p.depth, frame, "depth") +
                " exposure=" + recorder.ReadBack(command_list, p.exposure, frame, "exposure") +
                " mask=" + recorder.ReadBack(command_list, p.responsive_mask, frame, "mask");
        const D3D12_RESOURCE_DESC output = p.output ? p.output->GetDesc() : D3D12_RESOURCE_DESC{};
        line +=
            " output=" + (p.output ? Pair(static_cast<uint32_t>(output.Width), output.Height) : "null") +
            " jitter=" + Float(p.jitter_x) + "," + Float(p.jitter_y) + " exposure_scale=" + Float(p.exposure_scale) +
            " reset=" + Number(p.reset) + " input=" + Pair(p.input_width, p.input_height) +
            " color_base=" + Pair(p.color_base.x, p.color_base.y) +
            " velocity_base=" + Pair(p.velocity_base.x, p.velocity_base.y) +
            " depth_base=" + Pair(p.depth_base.x, p.depth_base.y) + " reserved=" + (AllZero(p.reserved) ? "0" : "set");
    }
    return Finish(recorder, line, Real().execute(context, command_list, params));
}

KAVO_API KavoResult kavoD3D12GetResourcesToDump(KavoContext context, const ResourceDumpList** list) {
    Recorder& recorder = Begin();
    const KavoResult result = Real().get_resources_to_dump(context, list);
    std::string line = "kavoD3D12GetResourcesToDump";
    if (result == KAVO_SUCCESS && list != nullptr && *list != nullptr) line += " count=" + Number((*list)->count);
    return Finish(recorder, line, result);
}

KAVO_API KavoResult kavoDestroyContext(KavoContext context) {
    Recorder& recorder = Begin();
    return Finish(recorder, std::string("kavoDestroyContext context=") + (context ? "set" : "null"),
                  Real().destroy_context(context));
}
