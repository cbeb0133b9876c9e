#pragma once

#include <string>
#include <vector>

#include "platform/d3d12/softgpu.h"
#include "platform/kavo/upscale.h"
#include "sdk/kavo_api.h"

namespace kavo {

// Result codes besides success.
enum : KavoResult {
    kInvalidArgument = 1,
    kNotInitialized = 2,
    kUnsupportedDevice = 3,
    kUnknownModel = 4,
    kOutOfMemory = 5,
    kUnsupportedFormat = 6,
};

template <class T>
using ComPtr = Microsoft::WRL::ComPtr<T>;

// A resource the library offers for dumping, with how to read it as a tensor.
struct DumpableResource {
    std::string name;
    ComPtr<ID3D12Resource> resource;
    uint32_t as_tensor = 0;
    uint32_t padding = 0;
    uint32_t buffer_channels = 0, buffer_width = 0, buffer_height = 0;
};

class Context {
public:
    explicit Context(ComPtr<ID3D12Device> device) : device_(std::move(device)) {}

    KavoResult SelectModel(uint32_t model);
    KavoProperties Properties() const;
    KavoResult Init(const KavoInitParams& params);
    void SetJitterScale(float x, float y) { jitter_scale_[0] = x, jitter_scale_[1] = y; }
    void SetVelocityScale(float x, float y) { velocity_scale_[0] = x, velocity_scale_[1] = y; }
    KavoResult Execute(ID3D12GraphicsCommandList* list, const KavoExecuteParams& params);
    KavoResult DumpList(const ResourceDumpList** list);

private:
    KavoResult CreateOutputResources();
    KavoResult CreateInputResources(uint32_t width, uint32_t height);
    KavoResult CreateDumpResources();
    KavoResult MakeDumps();
    ComPtr<ID3D12Resource> Intermediate(const wchar_t* name, const D3D12_RESOURCE_DESC& desc);
    ComPtr<ID3D12Resource> Texture(const wchar_t* name, uint32_t width, uint32_t height, uint16_t slices,
                                   DXGI_FORMAT format);
    ComPtr<ID3D12Resource> Buffer(const wchar_t* name, uint64_t bytes);
    KavoResult CheckInputs(const KavoExecuteParams& params) const;
    struct StateUses;
    template <class Use>
    StateUses UseState(Use use, D3D12_RESOURCE_STATES state);
    FrameSettings SettingsFor(const KavoExecuteParams& params) const;

    ComPtr<ID3D12Device> device_;
    Model model_ = Model::kKpss;
    bool initialized_ = false;
    KavoInitParams init_{};
    float jitter_scale_[2] = {1, 1};
    float velocity_scale_[2] = {1, 1};
    float previous_jitter_[2] = {0, 0};

    // What the frames keep. The history and the depth are held twice: a frame
    // reads the last frame's while it writes its own, and the frame's own
    // stays for its dump. current_ is the one the last recorded frame writes.
    ComPtr<ID3D12Resource> history_[2];  // output resolution
    uint32_t input_width_ = 0, input_height_ = 0;
    ComPtr<ID3D12Resource> motion_, depth_[2], shading_[2];  // input resolution
    uint32_t current_ = 0;
    bool have_frame_ = false;
    FrameSettings frame_settings_;  // the last frame's, as its kernel saw them

    // The intermediates offered for dumping, made from what the last frame
    // kept when a dump asks for them, on a queue of the library's own.
    ComPtr<ID3D12Resource> dump_history_, reprojected_history_, reconstruction_weight_, history_packed_,
        splat_accumulation_, dump_motion_, motion_output_, luminance_, luminance_pyramid_, clip_boxes_,
        packed_features_, sample_counts_;
    uint32_t dump_input_width_ = 0, dump_input_height_ = 0;
    uint32_t cells_x_ = 0, cells_y_ = 0;
    ComPtr<ID3D12CommandQueue> dump_queue_;
    ComPtr<ID3D12CommandAllocator> dump_allocator_;
    ComPtr<ID3D12GraphicsCommandList> dump_commands_;
    ComPtr<ID3D12Fence> dump_fence_;
    uint64_t dump_fence_value_ = 0;

    Scratch scratch_;  // used by the kernels only, which run one at a time

    std::vector<DumpableResource> dumpable_;
    std::vector<ID3D12Resource*> dump_resources_;
    std::vector<const char*> dump_names_;
    std::vector<uint32_t> dump_as_tensor_, dump_padding_, dump_channels_, dump_width_, dump_height_;
    ResourceDumpList dump_list_{};
};

}  // namespace kavo
