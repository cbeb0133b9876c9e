// The library's dump list: the intermediates it offers for dumping, made
// from what the last frame kept, on a queue of the library's own.
#include <algorithm>

#include "platform/kavo/context.h"
#include "platform/kavo/context_state.h"
#include "platform/kavo/features.h"

namespace kavo {

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
