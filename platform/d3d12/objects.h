#pragma once

// The software device's D3D12 objects. Only what the tool and the reference
// upscaler library call is implemented; the generated stubs answer the rest.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "platform/d3d12/com_object.h"
#include "platform/d3d12/formats.h"
#include "platform/d3d12/memory_pool.h"
#include "platform/d3d12/softgpu.h"
#include "platform/d3d12/stubs.h"

namespace softgpu {

// Private IIDs by which the device finds its own objects behind an interface
// pointer; QueryInterface with them returns the implementation object.
inline constexpr GUID kResourceImplIid = {0x3a1d9c40, 0x2b7e, 0x4f55, {0x91, 0x0c, 0x6d, 0x2e, 0x8a, 0x14, 0x77, 0x01}};
inline constexpr GUID kCommandListImplIid = {
    0x3a1d9c40, 0x2b7e, 0x4f55, {0x91, 0x0c, 0x6d, 0x2e, 0x8a, 0x14, 0x77, 0x02}};
inline constexpr GUID kFenceImplIid = {0x3a1d9c40, 0x2b7e, 0x4f55, {0x91, 0x0c, 0x6d, 0x2e, 0x8a, 0x14, 0x77, 0x03}};
inline constexpr GUID kAllocatorImplIid = {
    0x3a1d9c40, 0x2b7e, 0x4f55, {0x91, 0x0c, 0x6d, 0x2e, 0x8a, 0x14, 0x77, 0x04}};
inline constexpr GUID kAdapterImplIid = {0x3a1d9c40, 0x2b7e, 0x4f55, {0x91, 0x0c, 0x6d, 0x2e, 0x8a, 0x14, 0x77, 0x05}};

// The implementation object behind `object`, with a reference of its own, or
// null when the object is not one of ours.
template <class Impl>
Microsoft::WRL::ComPtr<Impl> Unwrap(IUnknown* object, const GUID& impl_iid) {
    Microsoft::WRL::ComPtr<Impl> impl;
    void* found = nullptr;
    if (object != nullptr && SUCCEEDED(object->QueryInterface(impl_iid, &found))) {
        impl.Attach(static_cast<Impl*>(found));
    }
    return impl;
}

class Device;

class Resource final : public D3D12Object<stubs::ID3D12ResourceStub> {
public:
    Resource(Device* device, const D3D12_RESOURCE_DESC& desc, D3D12_HEAP_TYPE heap, D3D12_RESOURCE_STATES initial_state,
             DeviceMemory memory, Footprints layout);

    // ID3D12DeviceChild
    HRESULT STDMETHODCALLTYPE GetDevice(REFIID riid, void** device) override;
    // ID3D12Resource
    HRESULT STDMETHODCALLTYPE Map(UINT subresource, const D3D12_RANGE* read_range, void** data) override;
    void STDMETHODCALLTYPE Unmap(UINT subresource, const D3D12_RANGE* written_range) override;
    D3D12_RESOURCE_DESC STDMETHODCALLTYPE GetDesc() override { return desc_; }
    HRESULT STDMETHODCALLTYPE GetHeapProperties(D3D12_HEAP_PROPERTIES* properties, D3D12_HEAP_FLAGS* flags) override;

    bool IsBuffer() const { return desc_.Dimension == D3D12_RESOURCE_DIMENSION_BUFFER; }
    D3D12_HEAP_TYPE Heap() const { return heap_; }
    std::string Label() const;
    SoftGpuSurface Surface();
    std::byte* Memory() { return memory_.data(); }
    uint64_t MemorySize() const { return memory_.size(); }
    const Footprints& Layout() const { return layout_; }

    // Tracked per subresource; only the queue's execution reads and changes it.
    std::vector<D3D12_RESOURCE_STATES>& States() { return states_; }
    // Whether an access in the current ExecuteCommandLists promoted a
    // subresource from COMMON to a read-only state.
    std::vector<bool>& PromotedToRead() { return promoted_to_read_; }
    // Buffers and simultaneous-access textures: promoted from COMMON to any
    // state but the depth ones, and back in COMMON after every
    // ExecuteCommandLists that used them. CPU heaps keep their fixed state.
    bool Stateless() const;

protected:
    void* ExtraInterface(REFIID iid) override;

private:
    Microsoft::WRL::ComPtr<Device> device_;
    D3D12_RESOURCE_DESC desc_;
    D3D12_HEAP_TYPE heap_;
    DeviceMemory memory_;
    Footprints layout_;  // where each subresource lies in memory_
    std::vector<D3D12_RESOURCE_STATES> states_;
    std::vector<bool> promoted_to_read_;
};

class CommandAllocator final : public D3D12Object<stubs::ID3D12CommandAllocatorStub> {
public:
    CommandAllocator(Device* device, D3D12_COMMAND_LIST_TYPE type);
    HRESULT STDMETHODCALLTYPE GetDevice(REFIID riid, void** device) override;
    HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
    D3D12_COMMAND_LIST_TYPE Type() const { return type_; }

protected:
    void* ExtraInterface(REFIID iid) override;

private:
    Microsoft::WRL::ComPtr<Device> device_;
    D3D12_COMMAND_LIST_TYPE type_;
};

// Recorded commands. They hold references to their resources, so a list that
// runs later on the queue's thread never sees a released resource.
struct CopyBufferCommand {
    Microsoft::WRL::ComPtr<Resource> destination;
    UINT64 destination_offset;
    Microsoft::WRL::ComPtr<Resource> source;
    UINT64 source_offset;
    UINT64 bytes;
};
struct TextureLocation {
    Microsoft::WRL::ComPtr<Resource> resource;
    D3D12_TEXTURE_COPY_TYPE type;
    D3D12_PLACED_SUBRESOURCE_FOOTPRINT footprint;  // for placed footprints
    UINT subresource;                              // for subresource indices
};
struct CopyTextureCommand {
    TextureLocation destination;
    UINT x, y, z;
    TextureLocation source;
    bool has_box;
    D3D12_BOX box;
};
struct BarrierCommand {
    Microsoft::WRL::ComPtr<Resource> resource;
    UINT subresource;
    D3D12_RESOURCE_STATES before;
    D3D12_RESOURCE_STATES after;
};
struct KernelCommand {
    SoftGpuKernel kernel;
    std::vector<Microsoft::WRL::ComPtr<Resource>> resources;  // one per use
};
using Command = std::variant<CopyBufferCommand, CopyTextureCommand, BarrierCommand, KernelCommand>;
using CommandStream = std::shared_ptr<const std::vector<Command>>;

class CommandList final : public D3D12Object<stubs::ID3D12GraphicsCommandListStub>, public ISoftGpuKernelRecorder {
public:
    using Base = D3D12Object<stubs::ID3D12GraphicsCommandListStub>;
    CommandList(Device* device, D3D12_COMMAND_LIST_TYPE type, CommandAllocator* allocator);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return Base::QueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Base::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return Base::Release(); }

    HRESULT STDMETHODCALLTYPE GetDevice(REFIID riid, void** device) override;
    D3D12_COMMAND_LIST_TYPE STDMETHODCALLTYPE GetType() override { return type_; }
    HRESULT STDMETHODCALLTYPE Close() override;
    HRESULT STDMETHODCALLTYPE Reset(ID3D12CommandAllocator* allocator, ID3D12PipelineState* initial_state) override;
    void STDMETHODCALLTYPE CopyBufferRegion(ID3D12Resource* destination, UINT64 destination_offset,
                                            ID3D12Resource* source, UINT64 source_offset, UINT64 bytes) override;
    void STDMETHODCALLTYPE CopyTextureRegion(const D3D12_TEXTURE_COPY_LOCATION* destination, UINT x, UINT y, UINT z,
                                             const D3D12_TEXTURE_COPY_LOCATION* source,
                                             const D3D12_BOX* source_box) override;
    void STDMETHODCALLTYPE ResourceBarrier(UINT count, const D3D12_RESOURCE_BARRIER* barriers) override;

    // ISoftGpuKernelRecorder
    HRESULT STDMETHODCALLTYPE RecordKernel(const SoftGpuKernel& kernel) override;

    bool IsOpen() const { return open_; }
    CommandStream Commands() const { return commands_; }

protected:
    void* ExtraInterface(REFIID iid) override;

private:
    bool Recording(const char* call);
    void Append(Command command);

    Microsoft::WRL::ComPtr<Device> device_;
    D3D12_COMMAND_LIST_TYPE type_;
    Microsoft::WRL::ComPtr<CommandAllocator> allocator_;
    bool open_ = true;
    std::shared_ptr<std::vector<Command>> commands_;
};

class Fence final : public D3D12Object<stubs::ID3D12FenceStub> {
public:
    Fence(Device* device, UINT64 initial_value);
    HRESULT STDMETHODCALLTYPE GetDevice(REFIID riid, void** device) override;
    UINT64 STDMETHODCALLTYPE GetCompletedValue() override { return value_.load(); }
    HRESULT STDMETHODCALLTYPE Signal(UINT64 value) override {
        value_.store(value);
        return S_OK;
    }

protected:
    void* ExtraInterface(REFIID iid) override;

private:
    Microsoft::WRL::ComPtr<Device> device_;
    std::atomic<UINT64> value_;
};

// The resources one ExecuteCommandLists touched: when it completes, those
// that D3D12 treats as stateless decay back to COMMON.
class Submission {
public:
    void Touch(Resource& resource) { touched_.emplace_back(&resource); }
    void Decay();

private:
    std::vector<Microsoft::WRL::ComPtr<Resource>> touched_;
};

// Runs command streams and fence signals in submission order, either at once
// or, in deferred mode, later on a thread of its own.
class Executor {
public:
    explicit Executor(bool deferred);
    ~Executor();
    // The command lists of one ExecuteCommandLists call.
    void Submit(std::vector<CommandStream> lists);
    void Signal(Microsoft::WRL::ComPtr<Fence> fence, UINT64 value);

private:
    struct Work {
        std::vector<CommandStream> lists;
        Microsoft::WRL::ComPtr<Fence> fence;
        UINT64 value = 0;
    };
    void Enqueue(Work work);
    void Run(const Work& work);
    void Loop();

    bool deferred_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Work> pending_;
    bool stopping_ = false;
    std::thread thread_;
};

// Executes one command, checking it against D3D12's rules first.
void ExecuteCommand(const Command& command, Submission& submission);

class CommandQueue final : public D3D12Object<stubs::ID3D12CommandQueueStub> {
public:
    CommandQueue(Device* device, const D3D12_COMMAND_QUEUE_DESC& desc, bool deferred);
    HRESULT STDMETHODCALLTYPE GetDevice(REFIID riid, void** device) override;
    void STDMETHODCALLTYPE ExecuteCommandLists(UINT count, ID3D12CommandList* const* lists) override;
    HRESULT STDMETHODCALLTYPE Signal(ID3D12Fence* fence, UINT64 value) override;
    D3D12_COMMAND_QUEUE_DESC STDMETHODCALLTYPE GetDesc() override { return desc_; }

private:
    Microsoft::WRL::ComPtr<Device> device_;
    D3D12_COMMAND_QUEUE_DESC desc_;
    Executor executor_;
};

class Device final : public D3D12Object<stubs::ID3D12DeviceStub>, public ISoftGpuDevice {
public:
    using Base = D3D12Object<stubs::ID3D12DeviceStub>;
    Device(D3D_FEATURE_LEVEL max_level, LUID luid);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return Base::QueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Base::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return Base::Release(); }

    UINT STDMETHODCALLTYPE GetNodeCount() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateCommandQueue(const D3D12_COMMAND_QUEUE_DESC* desc, REFIID riid,
                                                 void** queue) override;
    HRESULT STDMETHODCALLTYPE CreateCommandAllocator(D3D12_COMMAND_LIST_TYPE type, REFIID riid,
                                                     void** allocator) override;
    HRESULT STDMETHODCALLTYPE CreateCommandList(UINT node_mask, D3D12_COMMAND_LIST_TYPE type,
                                                ID3D12CommandAllocator* allocator, ID3D12PipelineState* initial_state,
                                                REFIID riid, void** list) override;
    HRESULT STDMETHODCALLTYPE CreateCommittedResource(const D3D12_HEAP_PROPERTIES* heap, D3D12_HEAP_FLAGS heap_flags,
                                                      const D3D12_RESOURCE_DESC* desc,
                                                      D3D12_RESOURCE_STATES initial_state,
                                                      const D3D12_CLEAR_VALUE* clear_value, REFIID riid,
                                                      void** resource) override;
    HRESULT STDMETHODCALLTYPE CreateFence(UINT64 initial_value, D3D12_FENCE_FLAGS flags, REFIID riid,
                                          void** fence) override;
    HRESULT STDMETHODCALLTYPE GetDeviceRemovedReason() override { return S_OK; }
    void STDMETHODCALLTYPE GetCopyableFootprints(const D3D12_RESOURCE_DESC* desc, UINT first, UINT count,
                                                 UINT64 base_offset, D3D12_PLACED_SUBRESOURCE_FOOTPRINT* layouts,
                                                 UINT* num_rows, UINT64* row_sizes, UINT64* total_bytes) override;
    LUID STDMETHODCALLTYPE GetAdapterLuid() override { return luid_; }

    // ISoftGpuDevice
    UINT STDMETHODCALLTYPE SoftGpuVersion() override { return 1; }

protected:
    void* ExtraInterface(REFIID iid) override;

private:
    D3D_FEATURE_LEVEL max_level_;
    LUID luid_;
    bool deferred_execution_;
};

// Hands out `object` as `riid`, taking the creation reference away from the caller.
template <class T>
HRESULT Hand(T* object, REFIID riid, void** out) {
    const HRESULT result = object->QueryInterface(riid, out);
    object->Release();
    return result;
}

}  // namespace softgpu
