#pragma once

#include <cstdint>
#include <vector>

#include "platform/d3d12/d3d12_api.h"

namespace softgpu {

// Bytes per pixel of the formats the device stores; 0 for unsupported ones.
uint32_t FormatBytes(DXGI_FORMAT format);

// Subresources of a resource: mip levels times array slices (1 for buffers).
uint32_t SubresourceCount(const D3D12_RESOURCE_DESC& desc);

// D3D12's copyable footprints: rows 256-byte aligned, subresources placed at
// 512-byte boundaries, a buffer as one row of its width.
struct Footprints {
    std::vector<D3D12_PLACED_SUBRESOURCE_FOOTPRINT> layouts;
    std::vector<UINT> num_rows;
    std::vector<UINT64> row_sizes;
    UINT64 total_bytes = 0;
};

// False when the descriptor or the subresource range is invalid.
bool ComputeFootprints(const D3D12_RESOURCE_DESC& desc, UINT first, UINT count, UINT64 base_offset,
                       Footprints& footprints);

inline constexpr UINT64 kRowPitchAlignment = D3D12_TEXTURE_DATA_PITCH_ALIGNMENT;       // 256
inline constexpr UINT64 kPlacementAlignment = D3D12_TEXTURE_DATA_PLACEMENT_ALIGNMENT;  // 512

// Whether a resource may ever be in the unordered-access state.
inline bool AllowsUnorderedAccess(const D3D12_RESOURCE_DESC& desc) {
    return (desc.Flags & D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS) != 0;
}

inline UINT64 AlignUp(UINT64 value, UINT64 alignment) { return (value + alignment - 1) / alignment * alignment; }

}  // namespace softgpu
