#include "platform/kavo/context.h"

#include <algorithm>
#include <cmath>

#include "platform/kavo/features.h"

namespace kavo {

namespace {

template <class Pixel>
ImageView<Pixel> ViewOf(const SoftGpuSurface& surface, uint32_t subresource = 0) {
    const D3D12_PLACED_SUBRESOURCE_FOOTPRINT& layout = surface.layouts[subresource];
    return {surface.data + layout.Offset, layout.Footprint.RowPitch, layout.Footprint.Width, layout.Footprint.Height};
}

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

// Where a kernel finds the frame state among its surfaces.
struct Context::StateUses {
    int history_before = -1, history = -1, motion = -1, depth_before = -1, depth = -1, shading_before = -1,
        shading = -1;

    FrameState Views(std::span<const SoftGpuSurface> surfaces) const {
        FrameState state;
        state.history_before = ViewOf<const Float4>(surfaces[history_before]);
        state.history = ViewOf<Float4>(surfaces[history]);
        state.motion = ViewOf<Float2>(surfaces[motion]);
        state.depth_before = ViewOf<const float>(surfaces[depth_before]);
        state.depth = ViewOf<float>(surfaces[depth]);
        state.shading_before = ViewOf<const Float2>(surfaces[shading_before]);
        state.shading = ViewOf<Float2>(surfaces[shading]);
        return state;
    }
};

// The frame state's resources as a kernel's uses; the last recorded frame's
// are current_. `access` is how the kernel uses what the frame writes.
template <class Use>
Context::StateUses Context::UseState(Use use, D3D12_RESOURCE_STATES state) {
    StateUses uses;
    uses.history_before = use(history_[current_ ^ 1u].Get(), state);
    uses.history = use(history_[current_].Get(), state);
    uses.motion = use(motion_.Get(), state);
    uses.depth_before = use(depth_[current_ ^ 1u].Get(), state);
    uses.depth = use(depth_[current_].Get(), state);
    uses.shading_before = use(shading_[current_ ^ 1u].Get(), state);
    uses.shading = use(shading_[current_].Get(), state);
    return uses;
}

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
    for (auto& history : history_) history = Texture(L"history_full", w, h, 1, DXGI_FORMAT_R32G32B32A32_FLOAT);
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

KavoResult Context::CreateDumpResources() {
    const uint32_t w = init_.output_width, h = init_.output_height;
    if (!dump_history_) {
        dump_history_ = Texture(L"kavo:history", w, h, 1, DXGI_FORMAT_R16G16B16A16_FLOAT);
        reprojected_history_ = Texture(L"reprojected_history", w, h, 1, DXGI_FORMAT_R32G32B32A32_FLOAT);
        reconstruction_weight_ = Texture(L"reconstruction_weights", w, h, 1, DXGI_FORMAT_R32_FLOAT);
        history_packed_ = Texture(L"history_r11g11b10", w, h, 1, DXGI_FORMAT_R11G11B10_FLOAT);
        if (model_ == Model::kSplat) {
            splat_accumulation_ = Texture(L"splat_accumulation", w, h, 1, DXGI_FORMAT_R32G32B32A32_FLOAT);
        }
    }
    const uint32_t width = input_width_, height = input_height_;
    if (width != 0 && (width != dump_input_width_ || height != dump_input_height_ || !dump_motion_)) {
        dump_input_width_ = width;
        dump_input_height_ = height;
        cells_x_ = std::max(1u, (width + kFeatureTile - 1) / kFeatureTile);
        cells_y_ = std::max(1u, (height + kFeatureTile - 1) / kFeatureTile);
        const uint64_t cells = uint64_t{cells_x_} * cells_y_;
        dump_motion_ = Texture(L"motion", width, height, 1, DXGI_FORMAT_R16G16_FLOAT);
        motion_output_ = Texture(L"motion_output_pixels", width, height, 1, DXGI_FORMAT_R32G32_FLOAT);
        luminance_ = Texture(L"luminance", width, height, 1, DXGI_FORMAT_R16_FLOAT);
        luminance_pyramid_ = Texture(L"luminance_pyramid", (width + 1) / 2, (height + 1) / 2, 2, DXGI_FORMAT_R32_FLOAT);
        clip_boxes_ =
            Texture(L"clip_boxes", (width + kClipBoxTile - 1) / kClipBoxTile + 2 * kClipBoxPadding,
                    (height + kClipBoxTile - 1) / kClipBoxTile + 2 * kClipBoxPadding, 2, DXGI_FORMAT_R32G32B32A32_SINT);
        packed_features_ = Buffer(L"packed_features", cells * kPackedFeatureChannels);
        sample_counts_ = Buffer(L"sample_counts_int32_", cells * kSampleCountChannels * 4);
    }
    const bool made = dump_history_ && reprojected_history_ && reconstruction_weight_ && history_packed_ &&
                      (model_ != Model::kSplat || splat_accumulation_) &&
                      (width == 0 || (dump_motion_ && motion_output_ && luminance_ && luminance_pyramid_ &&
                                      clip_boxes_ && packed_features_ && sample_counts_));
    if (!made) dump_history_ = dump_motion_ = nullptr;
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

KavoResult Context::MakeDumps() {
    if (const KavoResult made = CreateDumpResources(); made != KAVO_SUCCESS) return made;
    if (!have_frame_) return KAVO_SUCCESS;  // no frame yet: the intermediates hold zeros
    if (!dump_queue_) {
        D3D12_COMMAND_QUEUE_DESC desc = {};
        if (FAILED(device_->CreateCommandQueue(&desc, IID_PPV_ARGS(&dump_queue_))) ||
            FAILED(device_->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&dump_allocator_))) ||
            FAILED(device_->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, dump_allocator_.Get(), nullptr,
                                              IID_PPV_ARGS(&dump_commands_))) ||
            FAILED(device_->CreateFence(0, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&dump_fence_)))) {
            dump_queue_ = nullptr;
            return kOutOfMemory;
        }
    } else if (FAILED(dump_allocator_->Reset()) || FAILED(dump_commands_->Reset(dump_allocator_.Get(), nullptr))) {
        return kInvalidArgument;
    }
    ComPtr<ISoftGpuKernelRecorder> recorder;
    if (FAILED(dump_commands_.As(&recorder))) return kUnsupportedDevice;

    const auto write = D3D12_RESOURCE_STATE_UNORDERED_ACCESS;
    SoftGpuKernel kernel;
    kernel.name = "kavo_dump";
    auto use = [&](ID3D12Resource* resource, D3D12_RESOURCE_STATES state) {
        if (resource == nullptr) return -1;
        kernel.uses.push_back({resource, state, SoftGpuAccess::kWrite});
        return static_cast<int>(kernel.uses.size() - 1);
    };
    const StateUses state = UseState(use, write);
    const int history = use(dump_history_.Get(), write), reprojected = use(reprojected_history_.Get(), write),
              weights = use(reconstruction_weight_.Get(), write), packed = use(history_packed_.Get(), write),
              splat = use(splat_accumulation_.Get(), write), motion = use(dump_motion_.Get(), write),
              motion_output = use(motion_output_.Get(), write), luminance = use(luminance_.Get(), write),
              pyramid = use(luminance_pyramid_.Get(), write), clip = use(clip_boxes_.Get(), write),
              features = use(packed_features_.Get(), write), counts = use(sample_counts_.Get(), write);
    const uint32_t cells_x = cells_x_, cells_y = cells_y_;
    kernel.run = [=, this](std::span<const SoftGpuSurface> surfaces) {
        DumpViews dump;
        dump.history = ViewOf<Half4>(surfaces[history]);
        dump.reprojected_history = ViewOf<Float4>(surfaces[reprojected]);
        dump.reconstruction_weight = ViewOf<float>(surfaces[weights]);
        dump.history_packed = ViewOf<uint32_t>(surfaces[packed]);
        if (splat >= 0) dump.splat_accumulation = ViewOf<Float4>(surfaces[splat]);
        dump.motion = ViewOf<Half2>(surfaces[motion]);
        dump.motion_output = ViewOf<Float2>(surfaces[motion_output]);
        dump.luminance = ViewOf<Imath::half>(surfaces[luminance]);
        MakeDumpViews(frame_settings_, state.Views(surfaces), scratch_, dump);

        FeatureViews views;
        views.luminance_pyramid[0] = ViewOf<float>(surfaces[pyramid], 0);
        views.luminance_pyramid[1] = ViewOf<float>(surfaces[pyramid], 1);
        views.clip_boxes[0] = ViewOf<Int4>(surfaces[clip], 0);
        views.clip_boxes[1] = ViewOf<Int4>(surfaces[clip], 1);
        views.packed_features = reinterpret_cast<uint8_t*>(surfaces[features].data);
        views.sample_counts = reinterpret_cast<int32_t*>(surfaces[counts].data);
        views.cells_x = cells_x;
        views.cells_y = cells_y;
        ComputeFeatures(frame_settings_, scratch_, dump, views);
    };
    if (FAILED(recorder->RecordKernel(kernel)) || FAILED(dump_commands_->Close())) return kInvalidArgument;
    ID3D12CommandList* lists[] = {dump_commands_.Get()};
    dump_queue_->ExecuteCommandLists(1, lists);
    if (FAILED(dump_queue_->Signal(dump_fence_.Get(), ++dump_fence_value_))) return kInvalidArgument;
    while (dump_fence_->GetCompletedValue() < dump_fence_value_) {
    }
    return KAVO_SUCCESS;
}

KavoResult Context::DumpList(const ResourceDumpList** list) {
    if (!initialized_) return kNotInitialized;
    if (const KavoResult made = MakeDumps(); made != KAVO_SUCCESS) return made;
    dumpable_.clear();
    auto add = [&](const char* name, const ComPtr<ID3D12Resource>& resource, uint32_t as_tensor, uint32_t padding = 0,
                   uint32_t channels = 0) {
        if (!resource) return;
        dumpable_.push_back({name, resource, as_tensor, padding, channels, cells_x_, cells_y_});
    };
    add("kavo:history", dump_history_, 0);
    add("reprojected_history", reprojected_history_, 0);
    add("reconstruction_weights", reconstruction_weight_, 0);
    add("history_r11g11b10", history_packed_, 0);
    add("splat_accumulation", splat_accumulation_, 0);
    add("motion", dump_motion_, 0);
    add("motion_output_pixels", motion_output_, 0);
    add("luminance", luminance_, 0);
    add("previous_depth", depth_[current_], 0);
    add("luminance_pyramid", luminance_pyramid_, 1);
    add("clip_boxes", clip_boxes_, 1, kClipBoxPadding);
    add("packed_features", packed_features_, 1, 0, kPackedFeatureChannels);
    add("sample_counts_int32_", sample_counts_, 1, 0, kSampleCountChannels);

    dump_resources_.clear();
    dump_names_.clear();
    dump_as_tensor_.clear();
    dump_padding_.clear();
    dump_channels_.clear();
    dump_width_.clear();
    dump_height_.clear();
    for (const DumpableResource& entry : dumpable_) {
        dump_resources_.push_back(entry.resource.Get());
        dump_names_.push_back(entry.name.c_str());
        dump_as_tensor_.push_back(entry.as_tensor);
        dump_padding_.push_back(entry.padding);
        dump_channels_.push_back(entry.buffer_channels);
        dump_width_.push_back(entry.buffer_width);
        dump_height_.push_back(entry.buffer_height);
    }
    dump_list_ = {static_cast<uint32_t>(dumpable_.size()),
                  dump_resources_.data(),
                  dump_names_.data(),
                  dump_as_tensor_.data(),
                  dump_padding_.data(),
                  dump_channels_.data(),
                  dump_width_.data(),
                  dump_height_.data()};
    *list = &dump_list_;
    return KAVO_SUCCESS;
}

}  // namespace kavo
