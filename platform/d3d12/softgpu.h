#pragma once

// The software device's own interface, beyond D3D12 and DXGI: host kernels
// for the reference upscaler library, and the validation counter for tests.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/d3d12/d3d12_api.h"

#define SOFTGPU_API extern "C" __attribute__((visibility("default")))

// CPU access to one resource while a kernel runs: its memory laid out as
// GetCopyableFootprints describes it (rows one footprint row pitch apart).
struct SoftGpuSurface {
    std::byte* data = nullptr;
    uint64_t size_bytes = 0;
    D3D12_RESOURCE_DESC desc{};
    std::vector<D3D12_PLACED_SUBRESOURCE_FOOTPRINT> layouts;  // one per subresource

    // Start of row `y` of subresource `s`.
    std::byte* Row(uint32_t s, uint32_t y) const {
        return data + layouts[s].Offset + static_cast<uint64_t>(y) * layouts[s].Footprint.RowPitch;
    }
};

enum class SoftGpuAccess { kRead, kWrite };

// A resource a kernel uses, and the state it must be in when the kernel runs.
struct SoftGpuResourceUse {
    ID3D12Resource* resource = nullptr;
    D3D12_RESOURCE_STATES state = D3D12_RESOURCE_STATE_COMMON;
    SoftGpuAccess access = SoftGpuAccess::kRead;
};

// Work recorded into a command list and run on the CPU when the queue
// executes it. `run` receives one surface per use, in the order of `uses`.
struct SoftGpuKernel {
    std::string name;
    std::vector<SoftGpuResourceUse> uses;
    std::function<void(std::span<const SoftGpuSurface>)> run;
};

// Reached by QueryInterface on a command list of the software device.
MIDL_INTERFACE("6f1c7a52-3d0e-4b8e-9a51-2f7c0d9e4b11")
ISoftGpuKernelRecorder : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE RecordKernel(const SoftGpuKernel& kernel) = 0;
};
__CRT_UUID_DECL(ISoftGpuKernelRecorder, 0x6f1c7a52, 0x3d0e, 0x4b8e, 0x9a, 0x51, 0x2f, 0x7c, 0x0d, 0x9e, 0x4b, 0x11)

// Answered by the software device's ID3D12Device only: lets a library tell
// our device from any other.
MIDL_INTERFACE("0b3e8d27-71a4-4c62-8f3d-5e9a1c7b2d40")
ISoftGpuDevice : public IUnknown {
public:
    virtual UINT STDMETHODCALLTYPE SoftGpuVersion() = 0;
};
__CRT_UUID_DECL(ISoftGpuDevice, 0x0b3e8d27, 0x71a4, 0x4c62, 0x8f, 0x3d, 0x5e, 0x9a, 0x1c, 0x7b, 0x2d, 0x40)

// How many validation errors the device has reported in this process.
SOFTGPU_API uint64_t softgpu_validation_error_count();

// The most memory the device's resources held at once in this process.
SOFTGPU_API uint64_t softgpu_peak_resource_bytes();

// The memory the device's resources hold now.
SOFTGPU_API uint64_t softgpu_resource_bytes();
