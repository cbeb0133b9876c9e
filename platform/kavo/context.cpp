#include "platform/kavo/context.h"

#include <algorithm>
#include <cmath>

#include "platform/kavo/context_state.h"
#include "platform/kavo/features.h"

namespace kavo {

namespace {

D3D12_RESOURCE_DESC DescOf(ID3D12Resource* resource) { return resource->GetDesc(); }

bool IsTexture(ID3D12Resource* resource, DXGI_FORMAT format) {
    const D3D12_RESOURCE_DESC desc = DescOf(resource);
    return desc.Dimension == D3D12_RESOURCE_DIMENSION_TEXTURE2D && desc.Format == format;
}

void Transition(ID3D12GraphicsCommandList* list, ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
                D3D12_RESOURCE_STATES after) {
    D3D12_RESOURCE_BARRIER barrier = {};
    barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    barrier.Transition.pResource = resource;
    barrier.Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
    barrier.Transition.StateBefore = before;
    barrier.Transition.StateAfter = after;
    list->ResourceBarrier(1, &barrier);
}

constexpr uint32_t kMaxDimension = 16384;

}  // namespace

KavoResult Context::SelectModel(uint32_t model) {
    if (model != KAVO_MODEL_KPSS && model != KAVO_MODEL_SPLAT) return kUnknownModel;
    model_ = static_cast<Model>(model);
    if (initialized_) return CreateOutputResources();
    return KAVO_SUCCESS;
}

KavoProperties Context::Properties() const {
    KavoProperties properties{};
    properties.version = 1;
    properties.model = static_cast<uint32_t>(model_);
    properties.output_width = init_.output_width;
    properties.output_height = init_.output_height;
    properties.dump_resource_count = static_cast<uint32_t>(dumpable_.size());
    return properties;
}

KavoResult Context::Init(const KavoInitParams& params) {
    if (params.output_width == 0 || params.output_height == 0 || params.output_width > kMaxDimension ||
        params.output_height > kMaxDimension) {
        return kInvalidArgument;
    }
    init_ = params;
    const KavoResult result = CreateOutputResources();
    initialized_ = result == KAVO_SUCCESS;
    return result;
}

ComPtr<ID3D12Resource> Context::Intermediate(const wchar_t* name, const D3D12_RESOURCE_DESC& desc) {
    // Texture intermediates live in the unordered-access state, where the
    // kernels write them and where the dump list promises them. Buffers are
    // stateless: they start in COMMON, the kernels' access promotes them to
    // unordered access, and they decay to COMMON again after every frame.
    const D3D12_RESOURCE_STATES initial_state = desc.Dimension == D3D12_RESOURCE_DIMENSION_BUFFER
                                                    ? D3D12_RESOURCE_STATE_COMMON
                                                    : D3D12_RESOURCE_STATE_UNORDERED_ACCESS;
    D3D12_HEAP_PROPERTIES heap = {};
    heap.Type = D3D12_HEAP_TYPE_DEFAULT;
    ComPtr<ID3D12Resource> resource;
    if (FAILED(device_->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc, initial_state, nullptr,
                                                IID_PPV_ARGS(&resource)))) {
        return nullptr;
    }
    resource->SetName(name);
    return resource;
}

ComPtr<ID3D12Resource> Context::Texture(const wchar_t* name, uint32_t width, uint32_t height, uint16_t slices,
                                        DXGI_FORMAT format) {
    D3D12_RESOURCE_DESC desc = {};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
    desc.Width = std::max(1u, width);
    desc.Height = std::max(1u, height);
    desc.DepthOrArraySize = slices;
    desc.MipLevels = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Flags = D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS;
    return Intermediate(name, desc);
}

ComPtr<ID3D12Resource> Context::Buffer(const wchar_t* name, uint64_t bytes) {
    D3D12_RESOURCE_DESC desc = {};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
    desc.Width = std::max<uint64_t>(4, bytes);
    desc.Height = 1;
    desc.DepthOrArraySize = 1;
    desc.MipLevels = 1;
    desc.SampleDesc.Count = 1;
    desc.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
    desc.Flags = D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS;
    return Intermediate(name, desc);
}

KavoResult Context::CreateOutputResources() {
    const uint32_t w = init_.output_width, h = init_.output_height;
    for (auto& history : history_) history = Texture(L"history_full", w, h, 1, DXGI_FORMAT_R16G16B16A16_FLOAT);
    // The dump intermediates of another size are made again when asked for.
    dump_history_ = reprojected_history_ = reconstruction_weight_ = history_packed_ = splat_accumulation_ = nullptr;
    have_frame_ = false;
    const bool made = history_[0] && history_[1];
    return made ? KAVO_SUCCESS : kOutOfMemory;
}

KavoResult Context::CreateInputResources(uint32_t width, uint32_t height) {
    input_width_ = width;
    input_height_ = height;
    motion_ = Texture(L"motion_pixels", width, height, 1, DXGI_FORMAT_R32G32_FLOAT);
    for (auto& depth : depth_) depth = Texture(L"previous_depth", width, height, 1, DXGI_FORMAT_R32_FLOAT);
    for (auto& shading : shading_) shading = Texture(L"shading_change", width, height, 1, DXGI_FORMAT_R32G32_FLOAT);
    const bool made = motion_ && depth_[0] && depth_[1] && shading_[0] && shading_[1];
    if (!made) input_width_ = input_height_ = 0;
    return made ? KAVO_SUCCESS : kOutOfMemory;
}

KavoResult Context::CheckInputs(const KavoExecuteParams& p) const {
    const uint32_t flags = init_.flags;
    if (!p.color || !p.velocity || !p.output) return kInvalidArgument;
    if (!(flags & KAVO_INIT_FLAG_NO_DEPTH) && !p.depth) return kInvalidArgument;
    if ((flags & KAVO_INIT_FLAG_EXPOSURE_TEXTURE) && !p.exposure) return kInvalidArgument;
    if ((flags & KAVO_INIT_FLAG_RESPONSIVE_MASK) && !p.responsive_mask) return kInvalidArgument;
    if (p.input_width == 0 || p.input_height == 0 || p.input_width > kMaxDimension || p.input_height > kMaxDimension) {
        return kInvalidArgument;
    }
    const bool formats_ok = IsTexture(p.color, DXGI_FORMAT_R16G16B16A16_FLOAT) &&
                            IsTexture(p.velocity, DXGI_FORMAT_R16G16_FLOAT) &&
                            IsTexture(p.output, DXGI_FORMAT_R16G16B16A16_FLOAT) &&
                            (!p.depth || IsTexture(p.depth, DXGI_FORMAT_R32_FLOAT)) &&
                            (!p.exposure || IsTexture(p.exposure, DXGI_FORMAT_R32_FLOAT)) &&
                            (!p.responsive_mask || IsTexture(p.responsive_mask, DXGI_FORMAT_R8_UNORM));
    if (!formats_ok) return kUnsupportedFormat;
    const D3D12_RESOURCE_DESC output = DescOf(p.output);
    if (output.Width != init_.output_width || output.Height != init_.output_height) return kInvalidArgument;
    return KAVO_SUCCESS;
}

FrameSettings Context::SettingsFor(const KavoExecuteParams& p) const {
    const uint32_t flags = init_.flags;
    FrameSettings s;
    s.model = model_;
    s.input_width = p.input_width;
    s.input_height = p.input_height;
    s.color_base_x = p.color_base.x;
    s.color_base_y = p.color_base.y;
    s.velocity_base_x = p.velocity_base.x;
    s.velocity_base_y = p.velocity_base.y;
    s.depth_base_x = p.depth_base.x;
    s.depth_base_y = p.depth_base.y;
    s.jitter_x = p.jitter_x * jitter_scale_[0];
    s.jitter_y = p.jitter_y * jitter_scale_[1];
    s.previous_jitter_x = previous_jitter_[0];
    s.previous_jitter_y = previous_jitter_[1];
    s.velocity_scale_x = velocity_scale_[0];
    s.velocity_scale_y = velocity_scale_[1];
    s.exposure = p.exposure_scale;
    s.reset = p.reset != 0;
    s.has_depth = !(flags & KAVO_INIT_FLAG_NO_DEPTH);
    s.inverted_depth = (flags & KAVO_INIT_FLAG_INVERTED_DEPTH) != 0;
    s.velocity_ndc = (flags & KAVO_INIT_FLAG_VELOCITY_NDC) != 0;
    s.ldr = (flags & KAVO_INIT_FLAG_LDR_INPUT_COLOR) != 0;
    s.jittered_motion = (flags & KAVO_INIT_FLAG_JITTERED_MV) != 0;
    if (!std::isfinite(s.jitter_x)) s.jitter_x = 0;
    if (!std::isfinite(s.jitter_y)) s.jitter_y = 0;
    return s;
}

KavoResult Context::Execute(ID3D12GraphicsCommandList* list, const KavoExecuteParams& p) {
    if (!initialized_) return kNotInitialized;
    if (const KavoResult check = CheckInputs(p); check != KAVO_SUCCESS) return check;
    ComPtr<ISoftGpuKernelRecorder> recorder;
    if (FAILED(list->QueryInterface(IID_PPV_ARGS(&recorder)))) return kUnsupportedDevice;
    if (p.input_width != input_width_ || p.input_height != input_height_) {
        if (const KavoResult made = CreateInputResources(p.input_width, p.input_height); made != KAVO_SUCCESS) {
            return made;
        }
        have_frame_ = false;
    }

    const FrameSettings settings = SettingsFor(p);
    previous_jitter_[0] = settings.jitter_x;
    previous_jitter_[1] = settings.jitter_y;
    const bool exposure_from_texture = (init_.flags & KAVO_INIT_FLAG_EXPOSURE_TEXTURE) && p.exposure;

    // The kernel's resources; their order is the order of the surfaces it gets.
    const auto read = D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE;
    const auto write = D3D12_RESOURCE_STATE_UNORDERED_ACCESS;
    SoftGpuKernel kernel;
    kernel.name = settings.model == Model::kSplat ? "kavo_splat" : "kavo_kpss";
    auto use = [&](ID3D12Resource* resource, D3D12_RESOURCE_STATES state) {
        if (resource == nullptr) return -1;
        kernel.uses.push_back({resource, state, state == write ? SoftGpuAccess::kWrite : SoftGpuAccess::kRead});
        return static_cast<int>(kernel.uses.size() - 1);
    };
    const int color = use(p.color, read), velocity = use(p.velocity, read);
    const int depth = settings.has_depth ? use(p.depth, read) : -1;
    const int exposure = exposure_from_texture ? use(p.exposure, read) : -1;
    const int mask = (init_.flags & KAVO_INIT_FLAG_RESPONSIVE_MASK) ? use(p.responsive_mask, read) : -1;
    const int output = use(p.output, write);
    // The frame writes the other history and depth than the last frame did.
    current_ ^= 1u;
    const StateUses state = UseState(use, write);

    kernel.run = [=, this](std::span<const SoftGpuSurface> surfaces) {
        FrameSettings s = settings;
        if (exposure >= 0) s.exposure = ViewOf<float>(surfaces[exposure]).At(0, 0);
        if (!(s.exposure > 0.0f) || !std::isfinite(s.exposure)) s.exposure = 1.0f;
        FrameInputs in;
        in.color = ViewOf<const Half4>(surfaces[color]);
        in.velocity = ViewOf<const Half2>(surfaces[velocity]);
        if (depth >= 0) in.depth = ViewOf<const float>(surfaces[depth]);
        if (mask >= 0) in.responsive_mask = ViewOf<const uint8_t>(surfaces[mask]);
        UpscaleFrame(s, in, state.Views(surfaces), scratch_, ViewOf<Half4>(surfaces[output]));
        frame_settings_ = s;
    };
    have_frame_ = true;

    // The caller hands the output over readable; the kernel writes it unordered.
    Transition(list, p.output, read, write);
    if (FAILED(recorder->RecordKernel(kernel))) return kInvalidArgument;
    Transition(list, p.output, write, read);
    return KAVO_SUCCESS;
}

}  // namespace kavo
