#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace softgpu {

// The memory of one resource. Blocks come from a process-wide pool that keeps
// released blocks for reuse, as a driver keeps its heaps: an application that
// makes the same textures every frame then reuses the same pages instead of
// faulting fresh ones in. Every block is handed out zero-filled, like the
// memory of a committed resource.
class DeviceMemory {
public:
    DeviceMemory() = default;
    // Throws std::bad_alloc when the memory cannot be had.
    explicit DeviceMemory(uint64_t size);
    ~DeviceMemory();
    DeviceMemory(DeviceMemory&& other) noexcept;
    DeviceMemory& operator=(DeviceMemory&& other) noexcept;
    DeviceMemory(const DeviceMemory&) = delete;
    DeviceMemory& operator=(const DeviceMemory&) = delete;

    std::byte* data() const { return data_; }
    uint64_t size() const { return size_; }

private:
    std::byte* data_ = nullptr;
    uint64_t size_ = 0;
};

}  // namespace softgpu
