#include "platform/d3d12/formats.h"

#include <algorithm>

namespace softgpu {

uint32_t FormatBytes(DXGI_FORMAT format) {
    switch (format) {
        case DXGI_FORMAT_R32G32B32A32_TYPELESS:
        case DXGI_FORMAT_R32G32B32A32_FLOAT:
        case DXGI_FORMAT_R32G32B32A32_UINT:
        case DXGI_FORMAT_R32G32B32A32_SINT:
            return 16;
        case DXGI_FORMAT_R32G32B32_FLOAT:
        case DXGI_FORMAT_R32G32B32_UINT:
        case DXGI_FORMAT_R32G32B32_SINT:
            return 12;
        case DXGI_FORMAT_R16G16B16A16_TYPELESS:
        case DXGI_FORMAT_R16G16B16A16_FLOAT:
        case DXGI_FORMAT_R16G16B16A16_UNORM:
        case DXGI_FORMAT_R16G16B16A16_UINT:
        case DXGI_FORMAT_R16G16B16A16_SNORM:
        case DXGI_FORMAT_R16G16B16A16_SINT:
        case DXGI_FORMAT_R32G32_TYPELESS:
        case DXGI_FORMAT_R32G32_FLOAT:
        case DXGI_FORMAT_R32G32_UINT:
        case DXGI_FORMAT_R32G32_SINT:
            return 8;
        case DXGI_FORMAT_R10G10B10A2_UNORM:
        case DXGI_FORMAT_R10G10B10A2_UINT:
        case DXGI_FORMAT_R11G11B10_FLOAT:
        case DXGI_FORMAT_R8G8B8A8_TYPELESS:
        case DXGI_FORMAT_R8G8B8A8_UNORM:
        case DXGI_FORMAT_R8G8B8A8_UINT:
        case DXGI_FORMAT_R8G8B8A8_SNORM:
        case DXGI_FORMAT_R8G8B8A8_SINT:
        case DXGI_FORMAT_R16G16_TYPELESS:
        case DXGI_FORMAT_R16G16_FLOAT:
        case DXGI_FORMAT_R16G16_UNORM:
        case DXGI_FORMAT_R16G16_UINT:
        case DXGI_FORMAT_R16G16_SNORM:
        case DXGI_FORMAT_R16G16_SINT:
        case DXGI_FORMAT_R32_TYPELESS:
        case DXGI_FORMAT_D32_FLOAT:
        case DXGI_FORMAT_R32_FLOAT:
        case DXGI_FORMAT_R32_UINT:
        case DXGI_FORMAT_R32_SINT:
        case DXGI_FORMAT_B8G8R8A8_UNORM:
            return 4;
        case DXGI_FORMAT_R8G8_TYPELESS:
        case DXGI_FORMAT_R8G8_UNORM:
        case DXGI_FORMAT_R8G8_UINT:
        case DXGI_FORMAT_R16_TYPELESS:
        case DXGI_FORMAT_R16_FLOAT:
        case DXGI_FORMAT_R16_UNORM:
        case DXGI_FORMAT_R16_UINT:
        case DXGI_FORMAT_R16_SNORM:
        case DXGI_FORMAT_R16_SINT:
            return 2;
        case DXGI_FORMAT_R8_TYPELESS:
        case DXGI_FORMAT_R8_UNORM:
        case DXGI_FORMAT_R8_UINT:
        case DXGI_FORMAT_R8_SNORM:
        case DXGI_FORMAT_R8_SINT:
            return 1;
        default:
            return 0;
    }
}

uint32_t SubresourceCount(const D3D12_RESOURCE_DESC& desc) {
    if (desc.Dimension == D3D12_RESOURCE_DIMENSION_BUFFER) return 1;
    return uint32_t{desc.MipLevels} * uint32_t{desc.DepthOrArraySize};
}

namespace {

void FillInvalid(UINT count, Footprints& footprints) {
    D3D12_PLACED_SUBRESOURCE_FOOTPRINT invalid{};
    invalid.Offset = ~UINT64{0};
    footprints.layouts.assign(count, invalid);
    footprints.num_rows.assign(count, ~UINT{0});
    footprints.row_sizes.assign(count, ~UINT64{0});
    footprints.total_bytes = ~UINT64{0};
}

}  // namespace

bool ComputeFootprints(const D3D12_RESOURCE_DESC& desc, UINT first, UINT count, UINT64 base_offset,
                       Footprints& footprints) {
    footprints = {};
    if (desc.Dimension == D3D12_RESOURCE_DIMENSION_BUFFER) {
        if (first != 0 || count != 1 || desc.Width == 0) {
            FillInvalid(count, footprints);
            return false;
        }
        D3D12_PLACED_SUBRESOURCE_FOOTPRINT layout{};
        layout.Offset = base_offset;
        layout.Footprint = {DXGI_FORMAT_UNKNOWN, static_cast<UINT>(desc.Width), 1, 1,
                            static_cast<UINT>(AlignUp(desc.Width, kRowPitchAlignment))};
        footprints.layouts = {layout};
        footprints.num_rows = {1};
        footprints.row_sizes = {desc.Width};
        footprints.total_bytes = desc.Width;
        return true;
    }

    const uint32_t bytes = FormatBytes(desc.Format);
    const uint64_t subresources = SubresourceCount(desc);
    if (desc.Dimension != D3D12_RESOURCE_DIMENSION_TEXTURE2D || bytes == 0 || desc.Width == 0 || desc.Height == 0 ||
        desc.MipLevels == 0 || uint64_t{first} + count > subresources) {
        FillInvalid(count, footprints);
        return false;
    }
    UINT64 offset = AlignUp(base_offset, kPlacementAlignment);
    UINT64 end = offset;
    for (UINT i = first; i < first + count; ++i) {
        const UINT mip = i % desc.MipLevels;
        const UINT width = static_cast<UINT>(std::max<UINT64>(1, desc.Width >> mip));
        const UINT height = std::max<UINT>(1, desc.Height >> mip);
        const UINT64 row_size = UINT64{width} * bytes;
        const UINT64 row_pitch = AlignUp(row_size, kRowPitchAlignment);

        D3D12_PLACED_SUBRESOURCE_FOOTPRINT layout{};
        layout.Offset = offset;
        layout.Footprint = {desc.Format, width, height, 1, static_cast<UINT>(row_pitch)};
        footprints.layouts.push_back(layout);
        footprints.num_rows.push_back(height);
        footprints.row_sizes.push_back(row_size);

        end = offset + row_pitch * (height - 1) + row_size;
        offset = AlignUp(end, kPlacementAlignment);
    }
    footprints.total_bytes = end - footprints.layouts.front().Offset;
    return true;
}

}  // namespace softgpu
