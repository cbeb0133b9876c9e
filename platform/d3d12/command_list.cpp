#include "platform/d3d12/objects.h"
#include "platform/d3d12/validation.h"

namespace softgpu {

namespace {

Microsoft::WRL::ComPtr<Resource> OwnResource(ID3D12Resource* resource) {
    return Unwrap<Resource>(resource, kResourceImplIid);
}

}  // namespace

CommandAllocator::CommandAllocator(Device* device, D3D12_COMMAND_LIST_TYPE type) : device_(device), type_(type) {}

HRESULT CommandAllocator::GetDevice(REFIID riid, void** device) { return device_->QueryInterface(riid, device); }

void* CommandAllocator::ExtraInterface(REFIID iid) { return SameIid(iid, kAllocatorImplIid) ? this : nullptr; }

CommandList::CommandList(Device* device, D3D12_COMMAND_LIST_TYPE type, CommandAllocator* allocator)
    : device_(device), type_(type), allocator_(allocator), commands_(std::make_shared<std::vector<Command>>()) {}

HRESULT CommandList::GetDevice(REFIID riid, void** device) { return device_->QueryInterface(riid, device); }

void* CommandList::ExtraInterface(REFIID iid) {
    if (SameIid(iid, __uuidof(ISoftGpuKernelRecorder))) return static_cast<ISoftGpuKernelRecorder*>(this);
    if (SameIid(iid, kCommandListImplIid)) return this;
    return nullptr;
}

HRESULT CommandList::Close() {
    if (!open_) {
        ReportValidationError("Close of command list \"" + Narrow(DebugName()) + "\", which is already closed");
        return E_FAIL;
    }
    open_ = false;
    return S_OK;
}

HRESULT CommandList::Reset(ID3D12CommandAllocator* allocator, ID3D12PipelineState*) {
    if (open_) {
        ReportValidationError("Reset of command list \"" + Narrow(DebugName()) + "\", which is still open");
        return E_FAIL;
    }
    auto own = Unwrap<CommandAllocator>(allocator, kAllocatorImplIid);
    if (!own || own->Type() != type_) {
        ReportValidationError("Reset of command list \"" + Narrow(DebugName()) + "\" with an unusable allocator");
        return E_INVALIDARG;
    }
    allocator_ = own;
    // Streams already submitted keep their own copy; recording starts afresh.
    commands_ = std::make_shared<std::vector<Command>>();
    open_ = true;
    return S_OK;
}

bool CommandList::Recording(const char* call) {
    if (!open_) {
        ReportValidationError(std::string(call) + " recorded into closed command list \"" + Narrow(DebugName()) + "\"");
    }
    return open_;
}

void CommandList::Append(Command command) { commands_->push_back(std::move(command)); }

void CommandList::CopyBufferRegion(ID3D12Resource* destination, UINT64 destination_offset, ID3D12Resource* source,
                                   UINT64 source_offset, UINT64 bytes) {
    if (!Recording("CopyBufferRegion")) return;
    auto own_destination = OwnResource(destination);
    auto own_source = OwnResource(source);
    if (!own_destination || !own_source) {
        ReportValidationError("CopyBufferRegion with a resource that is not the device's");
        return;
    }
    Append(CopyBufferCommand{own_destination, destination_offset, own_source, source_offset, bytes});
}

void CommandList::CopyTextureRegion(const D3D12_TEXTURE_COPY_LOCATION* destination, UINT x, UINT y, UINT z,
                                    const D3D12_TEXTURE_COPY_LOCATION* source, const D3D12_BOX* source_box) {
    if (!Recording("CopyTextureRegion")) return;
    if (destination == nullptr || source == nullptr) {
        ReportValidationError("CopyTextureRegion without a destination or source");
        return;
    }
    auto location = [](const D3D12_TEXTURE_COPY_LOCATION& from) {
        TextureLocation to{OwnResource(from.pResource), from.Type, {}, 0};
        if (from.Type == D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT) {
            to.footprint = from.PlacedFootprint;
        } else {
            to.subresource = from.SubresourceIndex;
        }
        return to;
    };
    CopyTextureCommand command{location(*destination), x, y, z, location(*source), source_box != nullptr, {}};
    if (!command.destination.resource || !command.source.resource) {
        ReportValidationError("CopyTextureRegion with a resource that is not the device's");
        return;
    }
    if (source_box != nullptr) command.box = *source_box;
    Append(std::move(command));
}

void CommandList::ResourceBarrier(UINT count, const D3D12_RESOURCE_BARRIER* barriers) {
    if (!Recording("ResourceBarrier")) return;
    for (UINT i = 0; i < count; ++i) {
        const D3D12_RESOURCE_BARRIER& barrier = barriers[i];
        // UAV and aliasing barriers only order work, which runs in order here anyway.
        if (barrier.Type != D3D12_RESOURCE_BARRIER_TYPE_TRANSITION) continue;
        auto resource = OwnResource(barrier.Transition.pResource);
        if (!resource) {
            ReportValidationError("ResourceBarrier on a resource that is not the device's");
            continue;
        }
        Append(BarrierCommand{resource, barrier.Transition.Subresource, barrier.Transition.StateBefore,
                              barrier.Transition.StateAfter});
    }
}

HRESULT CommandList::RecordKernel(const SoftGpuKernel& kernel) {
    if (!Recording("Kernel")) return E_FAIL;
    KernelCommand command{kernel, {}};
    for (const SoftGpuResourceUse& use : kernel.uses) {
        auto resource = OwnResource(use.resource);
        if (!resource) {
            ReportValidationError("kernel \"" + kernel.name + "\" uses a resource that is not the device's");
            return E_INVALIDARG;
        }
        command.resources.push_back(resource);
    }
    Append(std::move(command));
    return S_OK;
}

}  // namespace softgpu
