#pragma once

#include <cstdint>
#include <string>

#include "sdk/d3d12_headers.h"

namespace Orfa {

// One ID3D12Resource (a 2-D texture, or a buffer wrapped for readback) with
// its debug name. An owning wrapper holds a reference of its own; a wrapping
// one borrows the resource and never releases it.
class Texture2D {
public:
    Texture2D() = default;
    // Creates a committed texture in the default heap and names it.
    Texture2D(const std::wstring& name, ID3D12Device* device, uint32_t width, uint32_t height, uint32_t array_size,
              DXGI_FORMAT format, D3D12_RESOURCE_STATES initial_state, D3D12_RESOURCE_FLAGS flags);
    // Wraps an existing resource without taking a reference.
    explicit Texture2D(ID3D12Resource* existing);

    Texture2D(const Texture2D& other);
    Texture2D& operator=(const Texture2D& other);
    ~Texture2D();

    std::wstring name;
    uint32_t array_size = 0;
    ID3D12Resource* resource = nullptr;
    bool owns_resource = true;

private:
    void Release();
};

}  // namespace Orfa
