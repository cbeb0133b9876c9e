#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "platform/d3d12/adapters.h"
#include "platform/d3d12/objects.h"
#include "platform/d3d12/validation.h"

namespace softgpu {

namespace {

// Deferred execution runs submitted lists later, on the queue's own thread, so
// that a missing fence wait shows up as stale data in tests.
bool DeferredExecutionRequested() {
    const char* value = std::getenv("SOFTGPU_DEFERRED_EXECUTION");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

bool ValidType(D3D12_COMMAND_LIST_TYPE type) {
    return type == D3D12_COMMAND_LIST_TYPE_DIRECT || type == D3D12_COMMAND_LIST_TYPE_COMPUTE ||
           type == D3D12_COMMAND_LIST_TYPE_COPY;
}

// Resources larger than this are refused as out of memory rather than tried.
constexpr UINT64 kLargestResource = UINT64{4} << 30;

}  // namespace

Device::Device(D3D_FEATURE_LEVEL max_level, LUID luid)
    : max_level_(max_level), luid_(luid), deferred_execution_(DeferredExecutionRequested()) {}

void* Device::ExtraInterface(REFIID iid) {
    return SameIid(iid, __uuidof(ISoftGpuDevice)) ? static_cast<ISoftGpuDevice*>(this) : nullptr;
}

HRESULT Device::CreateCommandQueue(const D3D12_COMMAND_QUEUE_DESC* desc, REFIID riid, void** queue) {
    if (desc == nullptr || queue == nullptr || !ValidType(desc->Type)) return E_INVALIDARG;
    return Hand(new CommandQueue(this, *desc, deferred_execution_), riid, queue);
}

HRESULT Device::CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE type, REFIID riid, void** allocator) {
    if (allocator == nullptr || !ValidType(type)) return E_INVALIDARG;
    return Hand(new CommandAllocator(this, type), riid, allocator);
}

HRESULT Device::CreateCommandList(UINT, D3D12_COMMAND_LIST_TYPE type, ID3D12CommandAllocator* allocator,
                                  ID3D12PipelineState*, REFIID riid, void** list) {
    auto own = Unwrap<CommandAllocator>(allocator, kAllocatorImplIid);
    if (list == nullptr || !own || own->Type() != type) return E_INVALIDARG;
    return Hand(new CommandList(this, type, own.Get()), riid, list);
}

HRESULT Device::CreateFence(UINT64 initial_value, D3D12_FENCE_FLAGS, REFIID riid, void** fence) {
    if (fence == nullptr) return E_INVALIDARG;
    return Hand(new Fence(this, initial_value), riid, fence);
}

HRESULT Device::CreateCommittedResource(const D3D12_HEAP_PROPERTIES* heap, D3D12_HEAP_FLAGS,
                                        const D3D12_RESOURCE_DESC* desc, D3D12_RESOURCE_STATES initial_state,
                                        const D3D12_CLEAR_VALUE*, REFIID riid, void** resource) {
    if (heap == nullptr || desc == nullptr) return E_INVALIDARG;
    D3D12_RESOURCE_DESC normalised = *desc;
    const bool buffer = desc->Dimension == D3D12_RESOURCE_DIMENSION_BUFFER;
    if (!buffer && normalised.MipLevels == 0) {
        // Zero asks for the full mip chain.
        UINT64 largest = std::max<UINT64>(normalised.Width, normalised.Height);
        normalised.MipLevels = 1;
        while (largest > 1) {
            largest >>= 1;
            ++normalised.MipLevels;
        }
    }
    if (!buffer && (normalised.Width > D3D12_REQ_TEXTURE2D_U_OR_V_DIMENSION ||
                    normalised.Height > D3D12_REQ_TEXTURE2D_U_OR_V_DIMENSION)) {
        ReportValidationError("texture of " + std::to_string(normalised.Width) + " x " +
                              std::to_string(normalised.Height) + " pixels exceeds the largest 2D texture of " +
                              std::to_string(D3D12_REQ_TEXTURE2D_U_OR_V_DIMENSION) + " pixels a side");
        return E_INVALIDARG;
    }
    if ((initial_state & D3D12_RESOURCE_STATE_UNORDERED_ACCESS) && !AllowsUnorderedAccess(normalised)) {
        ReportValidationError(
            "resource created in D3D12_RESOURCE_STATE_UNORDERED_ACCESS without "
            "D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS");
        return E_INVALIDARG;
    }
    const bool cpu_heap = heap->Type == D3D12_HEAP_TYPE_UPLOAD || heap->Type == D3D12_HEAP_TYPE_READBACK;
    if (cpu_heap && !buffer) return E_INVALIDARG;
    if (heap->Type == D3D12_HEAP_TYPE_UPLOAD && initial_state != D3D12_RESOURCE_STATE_GENERIC_READ) {
        ReportValidationError("upload heap resources must start in D3D12_RESOURCE_STATE_GENERIC_READ");
        return E_INVALIDARG;
    }
    if (heap->Type == D3D12_HEAP_TYPE_READBACK && initial_state != D3D12_RESOURCE_STATE_COPY_DEST) {
        ReportValidationError("readback heap resources must start in D3D12_RESOURCE_STATE_COPY_DEST");
        return E_INVALIDARG;
    }
    if (buffer && (normalised.Height != 1 || normalised.DepthOrArraySize != 1 ||
                   normalised.Layout != D3D12_TEXTURE_LAYOUT_ROW_MAJOR)) {
        return E_INVALIDARG;
    }

    Footprints layout;
    if (!ComputeFootprints(normalised, 0, SubresourceCount(normalised), 0, layout)) return E_INVALIDARG;
    const UINT64 size = buffer ? layout.total_bytes : layout.layouts.back().Offset + layout.total_bytes;
    if (size > kLargestResource) return E_OUTOFMEMORY;
    if (resource == nullptr) return S_FALSE;  // a valid descriptor, nothing asked for

    DeviceMemory memory;
    try {
        memory = DeviceMemory(size);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    // As Direct3D 12 does, a buffer in a GPU heap starts in COMMON whatever
    // state is asked for: buffers are stateless.
    const D3D12_RESOURCE_STATES state = buffer && !cpu_heap ? D3D12_RESOURCE_STATE_COMMON : initial_state;
    return Hand(new Resource(this, normalised, heap->Type, state, std::move(memory), std::move(layout)), riid,
                resource);
}

void Device::GetCopyableFootprints(const D3D12_RESOURCE_DESC* desc, UINT first, UINT count, UINT64 base_offset,
                                   D3D12_PLACED_SUBRESOURCE_FOOTPRINT* layouts, UINT* num_rows, UINT64* row_sizes,
                                   UINT64* total_bytes) {
    Footprints footprints;
    if (desc != nullptr) {
        ComputeFootprints(*desc, first, count, base_offset, footprints);
    }
    for (UINT i = 0; i < count && i < footprints.layouts.size(); ++i) {
        if (layouts != nullptr) layouts[i] = footprints.layouts[i];
        if (num_rows != nullptr) num_rows[i] = footprints.num_rows[i];
        if (row_sizes != nullptr) row_sizes[i] = footprints.row_sizes[i];
    }
    if (total_bytes != nullptr) *total_bytes = desc != nullptr ? footprints.total_bytes : ~UINT64{0};
}

}  // namespace softgpu

using namespace softgpu;

extern "C" __attribute__((visibility("default"))) HRESULT WINAPI D3D12CreateDevice(IUnknown* adapter,
                                                                                   D3D_FEATURE_LEVEL minimum_level,
                                                                                   REFIID riid, void** device) {
    const AdapterInfo* info = nullptr;
    if (adapter == nullptr) {
        info = DefaultAdapter();
    } else {
        auto own = Unwrap<Adapter>(adapter, kAdapterImplIid);
        if (own) info = &own->Info();
    }
    if (info == nullptr) return E_INVALIDARG;
    if (minimum_level > info->max_level) return DXGI_ERROR_UNSUPPORTED;
    if (device == nullptr) return S_FALSE;  // the adapter is suitable
    return Hand(new Device(info->max_level, info->luid), riid, device);
}
