#pragma once

// A command list, allocator and fence on the process's device, for tests that
// record GPU work and wait for it.
#include <gtest/gtest.h>

#include "gpu/dx12.h"
#include "platform/d3d12/softgpu.h"
#include "tests/test_support.h"

// GoogleTest defines these on Windows only.
#ifndef EXPECT_HRESULT_SUCCEEDED
#define EXPECT_HRESULT_SUCCEEDED(expression) EXPECT_TRUE(SUCCEEDED(expression)) << #expression
#define ASSERT_HRESULT_SUCCEEDED(expression) ASSERT_TRUE(SUCCEEDED(expression)) << #expression
#endif

namespace test {

class GpuTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::CapturedStdout([this] { dx12 = &GetDx12(); });  // the "Selected adapter" lines of the first use
        allocator = dx12->CreateCommandAllocator();
        list = dx12->CreateCommandList(allocator.Get());
        fence = dx12->CreateFence(0);
        errors_before = softgpu_validation_error_count();
    }

    // Executes what was recorded, waits for it and opens the list again.
    void Submit() {
        ExecuteAndWait(dx12->command_queue_.Get(), list.Get(), fence.Get(), ++fence_value);
        ASSERT_HRESULT_SUCCEEDED(allocator->Reset());
        ASSERT_HRESULT_SUCCEEDED(list->Reset(allocator.Get(), nullptr));
    }

    // A committed buffer of `bytes` in `heap_type`, starting in `state`.
    ComPtr<ID3D12Resource> Buffer(UINT64 bytes, D3D12_HEAP_TYPE heap_type, D3D12_RESOURCE_STATES state,
                                  D3D12_RESOURCE_FLAGS flags = D3D12_RESOURCE_FLAG_NONE) {
        D3D12_RESOURCE_DESC desc = {};
        desc.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
        desc.Width = bytes;
        desc.Height = 1;
        desc.DepthOrArraySize = 1;
        desc.MipLevels = 1;
        desc.SampleDesc.Count = 1;
        desc.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
        desc.Flags = flags;
        D3D12_HEAP_PROPERTIES heap = {};
        heap.Type = heap_type;
        ComPtr<ID3D12Resource> buffer;
        EXPECT_HRESULT_SUCCEEDED(dx12->device_->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc, state,
                                                                        nullptr, IID_PPV_ARGS(&buffer)));
        return buffer;
    }

    uint64_t NewValidationErrors() const { return softgpu_validation_error_count() - errors_before; }

    Dx12* dx12 = nullptr;
    ComPtr<ID3D12CommandAllocator> allocator;
    ComPtr<ID3D12GraphicsCommandList> list;
    ComPtr<ID3D12Fence> fence;
    uint64_t fence_value = 0;
    uint64_t errors_before = 0;
};

}  // namespace test
