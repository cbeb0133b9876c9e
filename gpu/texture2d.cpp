#include "gpu/texture2d.h"

#include "gpu/exceptions.h"

namespace Orfa {

Texture2D::Texture2D(const std::wstring& texture_name, ID3D12Device* device, uint32_t width, uint32_t height,
                     uint32_t texture_array_size, DXGI_FORMAT format, D3D12_RESOURCE_STATES initial_state,
                     D3D12_RESOURCE_FLAGS flags)
    : name(texture_name), array_size(texture_array_size) {
    // Describe and create the texture: one mip level, one sample.
    D3D12_RESOURCE_DESC desc = {};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
    desc.Width = width;
    desc.Height = height;
    desc.DepthOrArraySize = static_cast<UINT16>(texture_array_size);
    desc.MipLevels = 1;
    desc.Format = format;
    desc.SampleDesc.Count = 1;
    desc.Layout = D3D12_TEXTURE_LAYOUT_UNKNOWN;
    desc.Flags = flags;

    D3D12_HEAP_PROPERTIES heap = {};
    heap.Type = D3D12_HEAP_TYPE_DEFAULT;
    heap.CreationNodeMask = 1;
    heap.VisibleNodeMask = 1;

    ThrowIfFailed(device->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc, initial_state, nullptr,
                                                  IID_PPV_ARGS(&resource)),
                  "create texture");
    SetDebugName(resource, name.c_str());
}

Texture2D::Texture2D(ID3D12Resource* existing) : resource(existing), owns_resource(false) {
    if (existing == nullptr) {
        throw Exception::InvalidArg("Unable to create Texture2D from nullptr ID3D12Resource*");
    }
    array_size = existing->GetDesc().DepthOrArraySize;
}

Texture2D::Texture2D(const Texture2D& other)
    : name(other.name), array_size(other.array_size), resource(other.resource), owns_resource(other.owns_resource) {
    if (owns_resource && resource != nullptr) resource->AddRef();
}

Texture2D& Texture2D::operator=(const Texture2D& other) {
    if (this != &other) {
        if (other.owns_resource && other.resource != nullptr) other.resource->AddRef();
        Release();
        name = other.name;
        array_size = other.array_size;
        resource = other.resource;
        owns_resource = other.owns_resource;
    }
    return *this;
}

Texture2D::~Texture2D() { Release(); }

void Texture2D::Release() {
    if (owns_resource && resource != nullptr) resource->Release();
    resource = nullptr;
}

}  // namespace Orfa
