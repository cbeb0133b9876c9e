#include "gpu/dx12.h"

#include <iostream>
#include <stdexcept>

#include "gpu/adapter_settings.h"
#include "gpu/exceptions.h"

namespace {

// The device object's steps report their failures as the tool's own errors,
// with bare messages ("Cannot create fence"), not as device errors.
void RequireSuccess(HRESULT result, const char* message) { Orfa::ThrowIfFailed<std::runtime_error>(result, message); }

// A candidate is usable when it is not a software adapter and can create a
// device of the required feature level.
bool IsSuitable(IDXGIAdapter1* adapter, const DXGI_ADAPTER_DESC1& desc, D3D_FEATURE_LEVEL minimum_level) {
    if (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) return false;
    return SUCCEEDED(D3D12CreateDevice(adapter, minimum_level, __uuidof(ID3D12Device), nullptr));
}

DXGI_ADAPTER_DESC1 DescriptionOf(IDXGIAdapter1* adapter) {
    DXGI_ADAPTER_DESC1 desc{};
    RequireSuccess(adapter->GetDesc1(&desc), "Cannot obtain adapter description");
    return desc;
}

std::string ListAdapters(IDXGIFactory6* factory) {
    std::string listing;
    ComPtr<IDXGIAdapter1> adapter;
    for (uint32_t j = 0; factory->EnumAdapters1(j, &adapter) != DXGI_ERROR_NOT_FOUND; ++j) {
        if (adapter) listing += DescribeAdapter(j, adapter.Get());
        adapter.Reset();
    }
    return listing;
}

}  // namespace

std::string DescribeAdapter(uint32_t index, IDXGIAdapter1* adapter) {
    const DXGI_ADAPTER_DESC1 desc = DescriptionOf(adapter);
    std::string description;
    for (const WCHAR* c = desc.Description; c < desc.Description + 128 && *c != 0; ++c) {
        description += static_cast<char>(static_cast<uint32_t>(*c) & 0xFFu);  // low byte of each code unit
    }
    return "#" + std::to_string(index) + " VendorId=" + std::to_string(desc.VendorId) +
           " DeviceId=" + std::to_string(desc.DeviceId) +
           " AdapterLuid.LowPart=" + std::to_string(static_cast<uint32_t>(desc.AdapterLuid.LowPart)) +
           " AdapterLuid.HighPart=" + std::to_string(static_cast<int32_t>(desc.AdapterLuid.HighPart)) + " " +
           " Revision=" + std::to_string(desc.Revision) + " SubSysId=" + std::to_string(desc.SubSysId) +
           " Desc=" + description + "\n";
}

Dx12::Dx12() {
    SelectAdapter(D3D_FEATURE_LEVEL_12_0, ProcessAdapterSettings().adapter_index);
    RequireSuccess(D3D12CreateDevice(adapter_.Get(), D3D_FEATURE_LEVEL_12_0, IID_PPV_ARGS(&device_)),
                   "Cannot create D3D12 device");

    // Describe and create the direct command queue: all defaults.
    D3D12_COMMAND_QUEUE_DESC queue_desc = {};
    RequireSuccess(device_->CreateCommandQueue(&queue_desc, IID_PPV_ARGS(&command_queue_)),
                   "Cannot create command queue");
    Orfa::SetDebugName(command_queue_.Get(), L"Dx12::command_queue_");
}

void Dx12::SelectAdapter(D3D_FEATURE_LEVEL minimum_level, uint32_t adapter_index) {
    factory_.Reset();
    RequireSuccess(CreateDXGIFactory2(0, IID_PPV_ARGS(&factory_)), "Cannot create DXGI factory");

    const bool automatic = adapter_index == kAutomaticAdapter;
    ComPtr<IDXGIAdapter1> selected;
    uint32_t selected_position = 0;
    for (uint32_t i = 0;; ++i) {
        ComPtr<IDXGIAdapter1> candidate;
        if (automatic) {
            if (FAILED(factory_->EnumAdapterByGpuPreference(i, DXGI_GPU_PREFERENCE_HIGH_PERFORMANCE,
                                                            IID_PPV_ARGS(&candidate)))) {
                break;
            }
        } else {
            const HRESULT result = factory_->EnumAdapters1(i, &candidate);
            // Past the last adapter no index can succeed, however large.
            if (result == DXGI_ERROR_NOT_FOUND || (i == adapter_index && FAILED(result))) break;
            if (i != adapter_index) continue;
        }
        if (IsSuitable(candidate.Get(), DescriptionOf(candidate.Get()), minimum_level)) {
            selected = candidate;
            selected_position = i;
            break;
        }
        if (!automatic) break;
    }

    if (!selected || ProcessAdapterSettings().list_adapters) {
        std::string listing;
        if (!selected) listing = "No compatible adapters found.\nFollowing adapters have been enumerated:\n";
        listing += ListAdapters(factory_.Get());
        if (!selected) throw std::runtime_error(listing);
        std::cout << listing;
    }
    std::cout << "Selected adapter: " << DescribeAdapter(selected_position, selected.Get()) << std::endl;
    adapter_ = selected;
}

ComPtr<ID3D12CommandAllocator> Dx12::CreateCommandAllocator() {
    ComPtr<ID3D12CommandAllocator> allocator;
    RequireSuccess(device_->CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE_DIRECT, IID_PPV_ARGS(&allocator)),
                   "Cannot create command allocator");
    return allocator;
}

ComPtr<ID3D12GraphicsCommandList> Dx12::CreateCommandList(ID3D12CommandAllocator* allocator) {
    ComPtr<ID3D12GraphicsCommandList> list;
    RequireSuccess(
        device_->CreateCommandList(0, D3D12_COMMAND_LIST_TYPE_DIRECT, allocator, nullptr, IID_PPV_ARGS(&list)),
        "Cannot create command stream");
    return list;
}

ComPtr<ID3D12Fence> Dx12::CreateFence(uint64_t initial_value) {
    ComPtr<ID3D12Fence> fence;
    RequireSuccess(device_->CreateFence(initial_value, D3D12_FENCE_FLAG_NONE, IID_PPV_ARGS(&fence)),
                   "Cannot create fence");
    return fence;
}

Dx12& GetDx12() {
    static Dx12 instance;
    return instance;
}

void WaitForFence(ID3D12Fence* fence, uint64_t value) {
    // A busy poll: the wait is short, and it keeps one frame's work strictly
    // serial with the GPU.
    while (fence->GetCompletedValue() < value) {
    }
}

void ExecuteAndWait(ID3D12CommandQueue* queue, ID3D12GraphicsCommandList* list, ID3D12Fence* fence, uint64_t value) {
    RequireSuccess(list->Close(), "Cannot close command stream");
    ID3D12CommandList* lists[] = {list};
    queue->ExecuteCommandLists(1, lists);
    RequireSuccess(queue->Signal(fence, value), "Cannot signal fence");
    WaitForFence(fence, value);
}
