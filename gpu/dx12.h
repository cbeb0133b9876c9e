#pragma once

#include <cstdint>
#include <string>

#include "sdk/d3d12_headers.h"

// The process's one Direct3D 12 device: the selected adapter, the device and
// its direct command queue. Reached through GetDx12.
class Dx12 {
public:
    Dx12();
    Dx12(const Dx12&) = delete;
    Dx12& operator=(const Dx12&) = delete;

    ComPtr<ID3D12CommandAllocator> CreateCommandAllocator();
    ComPtr<ID3D12GraphicsCommandList> CreateCommandList(ID3D12CommandAllocator* allocator);
    ComPtr<ID3D12Fence> CreateFence(uint64_t initial_value);

    // Released in the reverse of this order: queue, device, adapter, factory.
    ComPtr<IDXGIFactory6> factory_;
    ComPtr<IDXGIAdapter1> adapter_;
    ComPtr<ID3D12Device> device_;
    ComPtr<ID3D12CommandQueue> command_queue_;

private:
    void SelectAdapter(D3D_FEATURE_LEVEL minimum_level, uint32_t adapter_index);
};

// Built on first use from the process-wide adapter settings; a constructor
// that throws leaves no instance, and the next call tries again.
Dx12& GetDx12();

// One line describing adapter `index`, ending in a newline.
std::string DescribeAdapter(uint32_t index, IDXGIAdapter1* adapter);

// Waits until `fence` reaches `value` by polling its completed value.
void WaitForFence(ID3D12Fence* fence, uint64_t value);

// Closes `list`, executes it on `queue`, signals `fence` with `value` and
// waits for it: one submission, one wait.
void ExecuteAndWait(ID3D12CommandQueue* queue, ID3D12GraphicsCommandList* list, ID3D12Fence* fence, uint64_t value);
