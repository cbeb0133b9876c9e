#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

#include <stdexcept>

#include "dump/dump_collection.h"
#include "dump/dump_writer.h"
#include "gpu/dx12.h"
#include "gpu/exceptions.h"
#include "gpu/transfers.h"

namespace {

using Orfa::Texture2D;
using Downloader = Orfa::Downloader<Texture2D>;

// The library's list is its own; refuse entries that cannot be dumped before
// any GPU work is recorded.
void CheckList(const ResourceDumpList& list) {
    for (uint32_t i = 0; i < list.count; ++i) {
        if (list.resources[i] == nullptr || list.names[i] == nullptr) {
            throw std::runtime_error("Resource Dump: no resource or no name at list index " + std::to_string(i));
        }
    }
}

// The state a listed resource is in once the frame's work has completed.
// Buffers and simultaneous-access textures are stateless on Direct3D 12:
// whatever state the library left them in, they are back in COMMON after the
// ExecuteCommandLists that used them, and a barrier must start from there.
D3D12_RESOURCE_STATES StateAfterTheFrame(ID3D12Resource* resource) {
    const D3D12_RESOURCE_DESC desc = resource->GetDesc();
    const bool stateless = desc.Dimension == D3D12_RESOURCE_DIMENSION_BUFFER ||
                           (desc.Flags & D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS) != 0;
    return stateless ? D3D12_RESOURCE_STATE_COMMON : D3D12_RESOURCE_STATE_UNORDERED_ACCESS;
}

CollectedResource Collected(const Downloader& downloader) {
    CollectedResource resource;
    resource.desc = downloader.texture.resource->GetDesc();
    for (size_t s = 0; s < downloader.data.size(); ++s) {
        const uint64_t bytes =
            uint64_t{downloader.num_rows[s]} * downloader.row_sizes[s] * downloader.layouts[s].Footprint.Depth;
        resource.subresources.emplace_back(reinterpret_cast<const uint8_t*>(downloader.data[s].data()),
                                           static_cast<size_t>(bytes));
    }
    return resource;
}

void RunWriters(const DumpBatch& batch) {
    const uint32_t count = batch.list.count;
    if (count == 1) {
        DumpOneResource(batch, 0);
    } else if (count > 1) {
        tbb::parallel_for(
            tbb::blocked_range<uint32_t>(0, count, 1),
            [&](const tbb::blocked_range<uint32_t>& indices) {
                for (uint32_t i = indices.begin(); i != indices.end(); ++i) DumpOneResource(batch, i);
            },
            tbb::auto_partitioner());
    }
}

}  // namespace

std::vector<std::string> SplitFilterList(const std::string& text) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (c == ',') {
            if (!current.empty()) parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

void DumpFrameResources(KavoContext context, const DumpRequest& request) {
    const std::vector<std::string> include = SplitFilterList(request.include_filter);
    const std::vector<std::string> exclude = SplitFilterList(request.exclude_filter);
    const ResourceDumpList* list = nullptr;
    if (kavoD3D12GetResourcesToDump(context, &list) != KAVO_SUCCESS || list == nullptr) return;
    CheckList(*list);

    Dx12& dx12 = GetDx12();
    const ComPtr<ID3D12Device> device = dx12.device_;
    const ComPtr<ID3D12CommandAllocator> allocator = dx12.CreateCommandAllocator();
    const ComPtr<ID3D12GraphicsCommandList> command_list = dx12.CreateCommandList(allocator.Get());
    Orfa::SetDebugName(command_list.Get(), L"app_dbg_dump_cmd_list");
    const ComPtr<ID3D12Fence> fence = dx12.CreateFence(0);  // initial value: nothing read back yet
    Orfa::SetDebugName(fence.Get(), L"app_dbg_dump_fence");

    // The library leaves every listed resource in the unordered-access state;
    // the readback returns each to the state it found it in.
    std::vector<Texture2D> textures;
    std::vector<Downloader> downloaders;
    textures.reserve(list->count);
    downloaders.reserve(list->count);
    for (uint32_t i = 0; i < list->count; ++i) {
        textures.emplace_back(list->resources[i]);
        downloaders.emplace_back(textures.back());
        downloaders.back().RecordReadback(command_list.Get(), StateAfterTheFrame(list->resources[i]));
    }
    // The fence is this submission's own: its first signal tells it is done.
    constexpr uint64_t kReadbackDone = 1;
    ExecuteAndWait(dx12.command_queue_.Get(), command_list.Get(), fence.Get(), kReadbackDone);
    Orfa::ThrowIfFailed(command_list->Reset(allocator.Get(), nullptr), "reset command list");

    std::vector<CollectedResource> collected;
    for (Downloader& downloader : downloaders) {
        downloader.ReadBack();
        collected.push_back(Collected(downloader));
    }
    RunWriters(DumpBatch{*list, include, exclude, collected, request});
}
