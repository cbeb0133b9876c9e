#include <sstream>

#include "platform/d3d12/objects.h"
#include "platform/d3d12/validation.h"

namespace softgpu {

Resource::Resource(Device* device, const D3D12_RESOURCE_DESC& desc, D3D12_HEAP_TYPE heap,
                   D3D12_RESOURCE_STATES initial_state, DeviceMemory memory, Footprints layout)
    : device_(device),
      desc_(desc),
      heap_(heap),
      memory_(std::move(memory)),
      layout_(std::move(layout)),
      states_(SubresourceCount(desc), initial_state),
      promoted_to_read_(SubresourceCount(desc), false) {}

bool Resource::Stateless() const {
    if (heap_ == D3D12_HEAP_TYPE_UPLOAD || heap_ == D3D12_HEAP_TYPE_READBACK) return false;
    return IsBuffer() || (desc_.Flags & D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS) != 0;
}

HRESULT Resource::GetDevice(REFIID riid, void** device) { return device_->QueryInterface(riid, device); }

HRESULT Resource::Map(UINT subresource, const D3D12_RANGE*, void** data) {
    // Only CPU-visible heaps can be mapped, as on real hardware.
    if (heap_ != D3D12_HEAP_TYPE_UPLOAD && heap_ != D3D12_HEAP_TYPE_READBACK) {
        ReportValidationError("Map of " + Label() + ", which is not in an upload or readback heap");
        return E_INVALIDARG;
    }
    if (subresource != 0) {
        ReportValidationError("Map of subresource " + std::to_string(subresource) + " of buffer " + Label());
        return E_INVALIDARG;
    }
    if (data != nullptr) *data = memory_.data();
    return S_OK;
}

void Resource::Unmap(UINT, const D3D12_RANGE*) {}

HRESULT Resource::GetHeapProperties(D3D12_HEAP_PROPERTIES* properties, D3D12_HEAP_FLAGS* flags) {
    if (properties != nullptr) {
        *properties = {};
        properties->Type = heap_;
        properties->CreationNodeMask = 1;
        properties->VisibleNodeMask = 1;
    }
    if (flags != nullptr) *flags = D3D12_HEAP_FLAG_NONE;
    return S_OK;
}

std::string Resource::Label() const {
    std::ostringstream label;
    label << (IsBuffer() ? "buffer" : "texture") << " \"" << Narrow(DebugName()) << "\"";
    return label.str();
}

SoftGpuSurface Resource::Surface() {
    SoftGpuSurface surface;
    surface.data = memory_.data();
    surface.size_bytes = memory_.size();
    surface.desc = desc_;
    surface.layouts = layout_.layouts;
    return surface;
}

void* Resource::ExtraInterface(REFIID iid) { return SameIid(iid, kResourceImplIid) ? this : nullptr; }

}  // namespace softgpu
