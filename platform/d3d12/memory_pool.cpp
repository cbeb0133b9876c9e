#include "platform/d3d12/memory_pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "platform/d3d12/softgpu.h"

namespace softgpu {

namespace {

// Released blocks kept for reuse, by size; bounded so that a run that changes
// sizes does not hold on to memory it will never use again.
class Pool {
public:
    std::byte* Take(uint64_t size) {
        std::byte* kept = nullptr;
        {
            std::lock_guard lock(mutex_);
            live_ += size;
            peak_ = std::max(peak_, live_);
            auto found = free_.find(size);
            if (found != free_.end() && !found->second.empty()) {
                kept = found->second.back();
                found->second.pop_back();
                kept_ -= size;
            }
        }
        if (kept != nullptr) return Zeroed(kept, size);
        void* block = std::calloc(1, size);
        if (block == nullptr) {
            std::lock_guard lock(mutex_);
            live_ -= size;
            throw std::bad_alloc();
        }
        return static_cast<std::byte*>(block);
    }

    void Give(std::byte* block, uint64_t size) {
        std::lock_guard lock(mutex_);
        live_ -= size;
        if (kept_ + size > kKeptLimit) {
            std::free(block);
            return;
        }
        free_[size].push_back(block);
        kept_ += size;
    }

    uint64_t Peak() {
        std::lock_guard lock(mutex_);
        return peak_;
    }

    uint64_t Live() {
        std::lock_guard lock(mutex_);
        return live_;
    }

private:
    static constexpr uint64_t kKeptLimit = uint64_t{512} << 20;

    // A resource is zero when it is made. A block of an image's size is
    // cleared by all cores, a part each, outside the pool's lock.
    static std::byte* Zeroed(std::byte* block, uint64_t size) {
        constexpr uint64_t kPart = uint64_t{1} << 20;
        if (size < 2 * kPart) {
            std::memset(block, 0, size);
            return block;
        }
        tbb::parallel_for(tbb::blocked_range<uint64_t>(0, (size + kPart - 1) / kPart),
                          [&](const tbb::blocked_range<uint64_t>& parts) {
                              const uint64_t begin = parts.begin() * kPart;
                              const uint64_t end = std::min(size, parts.end() * kPart);
                              std::memset(block + begin, 0, end - begin);
                          });
        return block;
    }

    std::mutex mutex_;
    std::map<uint64_t, std::vector<std::byte*>> free_;
    uint64_t kept_ = 0;
    uint64_t live_ = 0;  // bytes of the resources that exist
    uint64_t peak_ = 0;
};

Pool& ThePool() {
    static Pool* pool = new Pool;  // never destroyed: resources may outlive static destruction
    return *pool;
}

}  // namespace

DeviceMemory::DeviceMemory(uint64_t size) : data_(ThePool().Take(size)), size_(size) {}

DeviceMemory::~DeviceMemory() {
    if (data_ != nullptr) ThePool().Give(data_, size_);
}

DeviceMemory::DeviceMemory(DeviceMemory&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
}

DeviceMemory& DeviceMemory::operator=(DeviceMemory&& other) noexcept {
    if (this != &other) {
        if (data_ != nullptr) ThePool().Give(data_, size_);
        data_ = other.data_;
        size_ = other.size_;
        other.data_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

}  // namespace softgpu

SOFTGPU_API uint64_t softgpu_peak_resource_bytes() { return softgpu::ThePool().Peak(); }

SOFTGPU_API uint64_t softgpu_resource_bytes() { return softgpu::ThePool().Live(); }
