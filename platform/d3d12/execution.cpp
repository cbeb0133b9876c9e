// The queue side of the device: executing recorded commands in order, with
// the checks D3D12's debug layer makes, and signalling fences.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "platform/d3d12/objects.h"
#include "platform/d3d12/validation.h"

namespace softgpu {

namespace {

std::string StateText(D3D12_RESOURCE_STATES state) {
    std::ostringstream text;
    text << "0x" << std::hex << static_cast<unsigned>(state);
    return text.str();
}

bool Includes(D3D12_RESOURCE_STATES state, D3D12_RESOURCE_STATES required) { return (state & required) == required; }

constexpr D3D12_RESOURCE_STATES kReadOnlyStates =
    D3D12_RESOURCE_STATE_VERTEX_AND_CONSTANT_BUFFER | D3D12_RESOURCE_STATE_INDEX_BUFFER |
    D3D12_RESOURCE_STATE_DEPTH_READ | D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE |
    D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE | D3D12_RESOURCE_STATE_INDIRECT_ARGUMENT |
    D3D12_RESOURCE_STATE_COPY_SOURCE | D3D12_RESOURCE_STATE_RESOLVE_SOURCE;

bool ReadOnly(D3D12_RESOURCE_STATES state) { return state != 0 && (state & ~kReadOnlyStates) == 0; }

// The states a resource in COMMON is promoted to by its first access: any
// but the depth states for buffers and simultaneous-access textures; for
// other textures only shader reads and copies.
bool Promotable(const Resource& resource, D3D12_RESOURCE_STATES state) {
    constexpr D3D12_RESOURCE_STATES kDepth = D3D12_RESOURCE_STATE_DEPTH_WRITE | D3D12_RESOURCE_STATE_DEPTH_READ;
    constexpr D3D12_RESOURCE_STATES kAnyTexture = D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE |
                                                  D3D12_RESOURCE_STATE_PIXEL_SHADER_RESOURCE |
                                                  D3D12_RESOURCE_STATE_COPY_DEST | D3D12_RESOURCE_STATE_COPY_SOURCE;
    if (resource.Stateless()) return (state & kDepth) == 0;
    return (state & ~kAnyTexture) == 0;
}

// Checks that `subresource` (or every one, for the all-subresources index) is
// in a state that includes `required`, promoting it where D3D12 does so
// implicitly: from COMMON, and from one promoted read state to more of them.
bool RequireState(Resource& resource, UINT subresource, D3D12_RESOURCE_STATES required, const std::string& use,
                  Submission& submission) {
    submission.Touch(resource);
    auto& states = resource.States();
    auto& promoted = resource.PromotedToRead();
    bool ok = true;
    for (UINT i = 0; i < states.size(); ++i) {
        if (subresource != D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES && i != subresource) continue;
        if (Includes(states[i], required)) continue;
        if (states[i] == D3D12_RESOURCE_STATE_COMMON && Promotable(resource, required)) {
            states[i] = required;
            promoted[i] = ReadOnly(required);
        } else if (promoted[i] && ReadOnly(required) && Promotable(resource, required)) {
            states[i] = states[i] | required;
        } else {
            ReportValidationError(use + ": subresource " + std::to_string(i) + " of " + resource.Label() +
                                  " is in state " + StateText(states[i]) + ", not " + StateText(required));
            ok = false;
        }
    }
    return ok;
}

// A rectangle of rows in some resource's memory.
struct Region {
    std::byte* base = nullptr;
    UINT64 row_pitch = 0;
    UINT width = 0, height = 0, depth = 0;
    DXGI_FORMAT format = DXGI_FORMAT_UNKNOWN;
};

bool FootprintRegion(Resource& buffer, const D3D12_PLACED_SUBRESOURCE_FOOTPRINT& placed, Region& region) {
    const D3D12_SUBRESOURCE_FOOTPRINT& f = placed.Footprint;
    const UINT64 bytes = FormatBytes(f.Format);
    if (!buffer.IsBuffer() || bytes == 0 || f.Width == 0 || f.Height == 0 || f.Depth == 0) {
        ReportValidationError("placed footprint on " + buffer.Label() + " is not a valid buffer footprint");
        return false;
    }
    if (placed.Offset % kPlacementAlignment != 0 || f.RowPitch % kRowPitchAlignment != 0 ||
        f.RowPitch < f.Width * bytes) {
        ReportValidationError("placed footprint on " + buffer.Label() + " breaks the offset or row pitch alignment");
        return false;
    }
    const UINT64 end = placed.Offset + UINT64{f.RowPitch} * (UINT64{f.Height} * f.Depth - 1) + f.Width * bytes;
    if (end > buffer.MemorySize()) {
        ReportValidationError("placed footprint reaches past the end of " + buffer.Label() + " (" +
                              std::to_string(end) + " > " + std::to_string(buffer.MemorySize()) + " bytes)");
        return false;
    }
    region = {buffer.Memory() + placed.Offset, f.RowPitch, f.Width, f.Height, f.Depth, f.Format};
    return true;
}

bool SubresourceRegion(Resource& texture, UINT subresource, Region& region) {
    if (texture.IsBuffer() || subresource >= texture.Layout().layouts.size()) {
        ReportValidationError("subresource " + std::to_string(subresource) + " of " + texture.Label() +
                              " does not exist");
        return false;
    }
    const D3D12_PLACED_SUBRESOURCE_FOOTPRINT& placed = texture.Layout().layouts[subresource];
    const D3D12_SUBRESOURCE_FOOTPRINT& f = placed.Footprint;
    region = {texture.Memory() + placed.Offset, f.RowPitch, f.Width, f.Height, f.Depth, f.Format};
    return true;
}

bool LocationRegion(const TextureLocation& location, Region& region) {
    return location.type == D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT
               ? FootprintRegion(*location.resource.Get(), location.footprint, region)
               : SubresourceRegion(*location.resource.Get(), location.subresource, region);
}

UINT LocationSubresource(const TextureLocation& location) {
    return location.type == D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT ? 0 : location.subresource;
}

void Execute(const CopyBufferCommand& copy, Submission& submission) {
    Resource& destination = *copy.destination.Get();
    Resource& source = *copy.source.Get();
    if (!destination.IsBuffer() || !source.IsBuffer()) {
        ReportValidationError("CopyBufferRegion between " + destination.Label() + " and " + source.Label() +
                              ", which are not both buffers");
        return;
    }
    const bool states_ok =
        RequireState(source, 0, D3D12_RESOURCE_STATE_COPY_SOURCE, "CopyBufferRegion source", submission) &
        RequireState(destination, 0, D3D12_RESOURCE_STATE_COPY_DEST, "CopyBufferRegion destination", submission);
    if (copy.source_offset > source.MemorySize() || copy.bytes > source.MemorySize() - copy.source_offset ||
        copy.destination_offset > destination.MemorySize() ||
        copy.bytes > destination.MemorySize() - copy.destination_offset) {
        ReportValidationError("CopyBufferRegion of " + std::to_string(copy.bytes) + " bytes reaches past the end of " +
                              source.Label() + " or " + destination.Label());
        return;
    }
    if (!states_ok) return;
    std::memmove(destination.Memory() + copy.destination_offset, source.Memory() + copy.source_offset, copy.bytes);
}

void Execute(const CopyTextureCommand& copy, Submission& submission) {
    Region destination, source;
    if (!LocationRegion(copy.destination, destination) || !LocationRegion(copy.source, source)) return;
    const bool states_ok = RequireState(*copy.source.resource.Get(), LocationSubresource(copy.source),
                                        D3D12_RESOURCE_STATE_COPY_SOURCE, "CopyTextureRegion source", submission) &
                           RequireState(*copy.destination.resource.Get(), LocationSubresource(copy.destination),
                                        D3D12_RESOURCE_STATE_COPY_DEST, "CopyTextureRegion destination", submission);
    if (destination.format != source.format) {
        ReportValidationError("CopyTextureRegion between formats " + std::to_string(source.format) + " and " +
                              std::to_string(destination.format));
        return;
    }
    D3D12_BOX box = copy.has_box ? copy.box : D3D12_BOX{0, 0, 0, source.width, source.height, source.depth};
    const bool box_ok = box.left < box.right && box.top < box.bottom && box.front < box.back &&
                        box.right <= source.width && box.bottom <= source.height && box.back <= source.depth;
    const bool target_ok = box_ok && UINT64{copy.x} + (box.right - box.left) <= destination.width &&
                           UINT64{copy.y} + (box.bottom - box.top) <= destination.height &&
                           UINT64{copy.z} + (box.back - box.front) <= destination.depth;
    if (!target_ok) {
        ReportValidationError("CopyTextureRegion box reaches outside the source or destination (" +
                              copy.source.resource->Label() + " to " + copy.destination.resource->Label() + ")");
        return;
    }
    if (!states_ok) return;
    const UINT64 bytes = FormatBytes(source.format);
    const UINT64 row_bytes = (box.right - box.left) * bytes;
    const UINT rows = box.bottom - box.top, slices = box.back - box.front;
    auto copy_rows = [&](UINT first, UINT end) {
        for (UINT row = first; row < end; ++row) {
            const UINT z = row / rows, y = row % rows;
            const std::byte* from = source.base +
                                    ((box.front + z) * UINT64{source.height} + box.top + y) * source.row_pitch +
                                    box.left * bytes;
            std::byte* to = destination.base +
                            ((copy.z + z) * UINT64{destination.height} + copy.y + y) * destination.row_pitch +
                            copy.x * bytes;
            std::memmove(to, from, row_bytes);
        }
    };
    // A large copy between two resources is shared among the processor's
    // cores, as a GPU's copy engine spreads it over its memory channels. A
    // copy within one resource keeps memmove's order, which its rows may
    // overlap in.
    const UINT total_rows = rows * slices;
    constexpr UINT64 kParallelBytes = UINT64{1} << 20;
    if (copy.source.resource.Get() != copy.destination.resource.Get() && row_bytes * total_rows >= kParallelBytes) {
        tbb::parallel_for(tbb::blocked_range<UINT>(0, total_rows),
                          [&](const tbb::blocked_range<UINT>& range) { copy_rows(range.begin(), range.end()); });
    } else {
        copy_rows(0, total_rows);
    }
}

void Execute(const BarrierCommand& barrier, Submission& submission) {
    Resource& resource = *barrier.resource.Get();
    submission.Touch(resource);
    if (resource.Heap() == D3D12_HEAP_TYPE_UPLOAD || resource.Heap() == D3D12_HEAP_TYPE_READBACK) {
        ReportValidationError("transition barrier on " + resource.Label() + ", whose heap fixes its state");
        return;
    }
    auto& states = resource.States();
    if (barrier.subresource != D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES && barrier.subresource >= states.size()) {
        ReportValidationError("transition barrier on subresource " + std::to_string(barrier.subresource) + " of " +
                              resource.Label() + ", which does not exist");
        return;
    }
    if ((barrier.after & D3D12_RESOURCE_STATE_UNORDERED_ACCESS) && !AllowsUnorderedAccess(resource.GetDesc())) {
        ReportValidationError("transition barrier of " + resource.Label() + " to " + StateText(barrier.after) +
                              ", but it was not created with D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS");
        return;
    }
    if (barrier.before == barrier.after) {
        ReportValidationError("transition barrier on " + resource.Label() + " with equal before and after states");
    }
    for (UINT i = 0; i < states.size(); ++i) {
        if (barrier.subresource != D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES && i != barrier.subresource) continue;
        if (states[i] != barrier.before) {
            ReportValidationError("transition barrier before-state " + StateText(barrier.before) +
                                  " does not match the state " + StateText(states[i]) + " of subresource " +
                                  std::to_string(i) + " of " + resource.Label());
        }
        states[i] = barrier.after;
        // An explicit state is the application's to change: it no longer decays.
        resource.PromotedToRead()[i] = false;
    }
}

void Execute(const KernelCommand& command, Submission& submission) {
    const SoftGpuKernel& kernel = command.kernel;
    std::vector<SoftGpuSurface> surfaces;
    for (size_t i = 0; i < kernel.uses.size(); ++i) {
        Resource& resource = *command.resources[i].Get();
        // A write is only allowed in a state the GPU may write in.
        const D3D12_RESOURCE_STATES writable = D3D12_RESOURCE_STATE_UNORDERED_ACCESS | D3D12_RESOURCE_STATE_COPY_DEST |
                                               D3D12_RESOURCE_STATE_RENDER_TARGET | D3D12_RESOURCE_STATE_DEPTH_WRITE;
        if (kernel.uses[i].access == SoftGpuAccess::kWrite && (kernel.uses[i].state & writable) == 0) {
            ReportValidationError("kernel \"" + kernel.name + "\" writes " + resource.Label() + " in read-only state " +
                                  StateText(kernel.uses[i].state));
        }
        RequireState(resource, D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES, kernel.uses[i].state,
                     "kernel \"" + kernel.name + "\"", submission);
        surfaces.push_back(resource.Surface());
    }
    try {
        kernel.run(surfaces);
    } catch (const std::exception& error) {
        ReportValidationError("kernel \"" + kernel.name + "\" failed: " + error.what());
    }
}

}  // namespace

void ExecuteCommand(const Command& command, Submission& submission) {
    std::visit([&submission](const auto& c) { Execute(c, submission); }, command);
}

void Submission::Decay() {
    for (const auto& resource : touched_) {
        auto& states = resource->States();
        auto& promoted = resource->PromotedToRead();
        for (size_t i = 0; i < states.size(); ++i) {
            if (resource->Stateless() || promoted[i]) states[i] = D3D12_RESOURCE_STATE_COMMON;
            promoted[i] = false;
        }
    }
    touched_.clear();
}

Executor::Executor(bool deferred) : deferred_(deferred) {
    if (deferred_) thread_ = std::thread([this] { Loop(); });
}

Executor::~Executor() {
    if (!deferred_) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void Executor::Submit(std::vector<CommandStream> lists) { Enqueue({std::move(lists), nullptr, 0}); }

void Executor::Signal(Microsoft::WRL::ComPtr<Fence> fence, UINT64 value) { Enqueue({{}, std::move(fence), value}); }

void Executor::Enqueue(Work work) {
    if (!deferred_) {
        Run(work);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(work));
    }
    wake_.notify_all();
}

void Executor::Run(const Work& work) {
    // Lists executed together share their states: decay comes only when the
    // whole ExecuteCommandLists has completed.
    Submission submission;
    for (const CommandStream& commands : work.lists) {
        for (const Command& command : *commands) ExecuteCommand(command, submission);
    }
    submission.Decay();
    if (work.fence) work.fence->Signal(work.value);
}

void Executor::Loop() {
    for (;;) {
        Work work;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
            if (pending_.empty()) return;  // stopping, and everything submitted has run
            work = std::move(pending_.front());
            pending_.pop_front();
        }
        // A little latency makes a missing fence wait show up as stale data.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        Run(work);
    }
}

Fence::Fence(Device* device, UINT64 initial_value) : device_(device), value_(initial_value) {}

HRESULT Fence::GetDevice(REFIID riid, void** device) { return device_->QueryInterface(riid, device); }

void* Fence::ExtraInterface(REFIID iid) { return SameIid(iid, kFenceImplIid) ? this : nullptr; }

CommandQueue::CommandQueue(Device* device, const D3D12_COMMAND_QUEUE_DESC& desc, bool deferred)
    : device_(device), desc_(desc), executor_(deferred) {}

HRESULT CommandQueue::GetDevice(REFIID riid, void** device) { return device_->QueryInterface(riid, device); }

void CommandQueue::ExecuteCommandLists(UINT count, ID3D12CommandList* const* lists) {
    std::vector<CommandStream> streams;
    for (UINT i = 0; i < count; ++i) {
        auto list = Unwrap<CommandList>(lists[i], kCommandListImplIid);
        if (!list) {
            ReportValidationError("ExecuteCommandLists with a command list that is not the device's");
            continue;
        }
        if (list->IsOpen()) {
            ReportValidationError("ExecuteCommandLists with command list \"" + Narrow(list->DebugName()) +
                                  "\", which was not closed");
            continue;
        }
        streams.push_back(list->Commands());
    }
    executor_.Submit(std::move(streams));
}

HRESULT CommandQueue::Signal(ID3D12Fence* fence, UINT64 value) {
    auto own = Unwrap<Fence>(fence, kFenceImplIid);
    if (!own) return E_INVALIDARG;
    executor_.Signal(own, value);
    return S_OK;
}

}  // namespace softgpu
