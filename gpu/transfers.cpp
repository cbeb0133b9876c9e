#include "gpu/transfers.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "gpu/exceptions.h"

namespace Orfa {

namespace {

// Bytes of one subresource's packed CPU copy, refusing sizes that overflow.
uint64_t PackedBytes(uint32_t rows, uint64_t row_size, uint32_t depth) {
    const uint64_t limit = std::numeric_limits<uint64_t>::max() / 2;
    if (row_size != 0 && (uint64_t{rows} * depth > limit / row_size)) {
        throw Exception::InvalidArg("texture layout is too large to copy");
    }
    return uint64_t{rows} * depth * row_size;
}

// The device that made `resource`.
ComPtr<ID3D12Device> DeviceOf(ID3D12Resource* resource) {
    ComPtr<ID3D12Device> device;
    ThrowIfFailed(resource->GetDevice(IID_PPV_ARGS(&device)), "get device");
    return device;
}

}  // namespace

Loader<Texture2D>::Loader(const Texture2D& served) : texture(served), subresource_count(served.array_size) {
    const auto count = static_cast<size_t>(subresource_count);
    num_rows.resize(count);
    row_sizes.resize(count);
    layouts.resize(count);
    packed_bytes.resize(count);
    if (count == 0) return;

    const D3D12_RESOURCE_DESC desc = texture.resource->GetDesc();
    const ComPtr<ID3D12Device> device = DeviceOf(texture.resource);
    device->GetCopyableFootprints(&desc, 0 /* first subresource */, static_cast<UINT>(count), 0 /* base offset */,
                                  layouts.data(), num_rows.data(), row_sizes.data(), &total_bytes);
    // The platform marks a layout it cannot give with all bits set; copying
    // with such sizes would run wild, so refuse it here.
    if (total_bytes == std::numeric_limits<uint64_t>::max()) {
        throw Exception::InvalidArg("resource layout cannot be copied");
    }
    for (size_t i = 0; i < count; ++i) {
        packed_bytes[i] = PackedBytes(num_rows[i], row_sizes[i], layouts[i].Footprint.Depth);
    }
}

ComPtr<ID3D12Resource> Loader<Texture2D>::CreateStagingBuffer(D3D12_HEAP_TYPE heap_type,
                                                              D3D12_RESOURCE_STATES initial_state) const {
    // Describe and create the staging buffer: one row of all the footprints.
    D3D12_RESOURCE_DESC desc = {};
    desc.Dimension = D3D12_RESOURCE_DIMENSION_BUFFER;
    desc.Width = total_bytes + (layouts.empty() ? 0 : layouts[0].Offset);
    desc.Height = 1;
    desc.DepthOrArraySize = 1;
    desc.MipLevels = 1;
    desc.Format = DXGI_FORMAT_UNKNOWN;
    desc.SampleDesc.Count = 1;
    desc.Layout = D3D12_TEXTURE_LAYOUT_ROW_MAJOR;
    desc.Flags = D3D12_RESOURCE_FLAG_NONE;

    D3D12_HEAP_PROPERTIES heap = {};
    heap.Type = heap_type;
    heap.CreationNodeMask = 1;
    heap.VisibleNodeMask = 1;

    ComPtr<ID3D12Resource> buffer;
    ThrowIfFailed(DeviceOf(texture.resource)
                      ->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc, initial_state, nullptr,
                                                IID_PPV_ARGS(&buffer)),
                  "create upload buffer");
    return buffer;
}

void Loader<Texture2D>::UnpackSubresourceTo(uint8_t* mapped, size_t i, const uint8_t* packed, uint64_t size) const {
    const D3D12_SUBRESOURCE_FOOTPRINT& footprint = layouts[i].Footprint;
    uint8_t* destination = mapped + layouts[i].Offset;
    for (uint32_t z = 0; z < footprint.Depth; ++z) {
        for (uint32_t y = 0; y < num_rows[i]; ++y) {
            uint8_t* row = destination + z * (uint64_t{footprint.RowPitch} * num_rows[i]) +
                           y * uint64_t{footprint.RowPitch};                        // staging row
            const uint64_t start = (uint64_t{z} * num_rows[i] + y) * row_sizes[i];  // packed row
            const uint64_t available = start < size ? std::min(size - start, row_sizes[i]) : 0;
            if (available > 0) std::memcpy(row, packed + start, available);
            std::memset(row + available, 0, row_sizes[i] - available);
        }
    }
}

void Downloader<Texture2D>::PackFrom(const uint8_t* mapped) {
    data.resize(layouts.size());
    for (size_t i = 0; i < data.size(); ++i) {
        data[i].resize(static_cast<size_t>((packed_bytes[i] + 3) / 4));
        auto* packed = reinterpret_cast<uint8_t*>(data[i].data());
        const D3D12_SUBRESOURCE_FOOTPRINT& footprint = layouts[i].Footprint;
        const uint8_t* source = mapped + layouts[i].Offset;
        for (uint32_t z = 0; z < footprint.Depth; ++z) {
            for (uint32_t y = 0; y < num_rows[i]; ++y) {
                std::memcpy(packed + (uint64_t{z} * num_rows[i] + y) * row_sizes[i],  // packed row
                            source + z * (uint64_t{footprint.RowPitch} * num_rows[i]) +
                                y * uint64_t{footprint.RowPitch},  // staging row
                            row_sizes[i]);
            }
        }
    }
}

void Loader<Texture2D>::RecordCopies(ID3D12GraphicsCommandList* list, ID3D12Resource* buffer, bool to_resource) const {
    if (layouts.empty()) return;
    ID3D12Resource* resource = texture.resource;
    if (resource->GetDesc().Dimension == D3D12_RESOURCE_DIMENSION_BUFFER) {
        const UINT64 width = layouts[0].Footprint.Width;
        if (to_resource) {
            list->CopyBufferRegion(resource, 0, buffer, layouts[0].Offset, width);
        } else {
            list->CopyBufferRegion(buffer, 0, resource, layouts[0].Offset, width);
        }
        return;
    }
    for (size_t i = 0; i < layouts.size(); ++i) {
        D3D12_TEXTURE_COPY_LOCATION in_resource = {};
        in_resource.pResource = resource;
        in_resource.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
        in_resource.SubresourceIndex = static_cast<UINT>(i);

        D3D12_TEXTURE_COPY_LOCATION in_buffer = {};
        in_buffer.pResource = buffer;
        in_buffer.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
        in_buffer.PlacedFootprint = layouts[i];

        if (to_resource) {
            list->CopyTextureRegion(&in_resource, 0, 0, 0, &in_buffer, nullptr);
        } else {
            list->CopyTextureRegion(&in_buffer, 0, 0, 0, &in_resource, nullptr);
        }
    }
}

void RecordTransition(ID3D12GraphicsCommandList* list, ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
                      D3D12_RESOURCE_STATES after) {
    D3D12_RESOURCE_BARRIER barrier = {};
    barrier.Type = D3D12_RESOURCE_BARRIER_TYPE_TRANSITION;
    barrier.Flags = D3D12_RESOURCE_BARRIER_FLAG_NONE;
    barrier.Transition.pResource = resource;
    barrier.Transition.Subresource = D3D12_RESOURCE_BARRIER_ALL_SUBRESOURCES;
    barrier.Transition.StateBefore = before;
    barrier.Transition.StateAfter = after;
    list->ResourceBarrier(1, &barrier);
}

Uploader<Texture2D>::Uploader(const Texture2D& served) : Loader<Texture2D>(served) {
    upload_buffer = CreateStagingBuffer(D3D12_HEAP_TYPE_UPLOAD, D3D12_RESOURCE_STATE_GENERIC_READ);
}

void Uploader<Texture2D>::RecordUpload(ID3D12GraphicsCommandList* list, D3D12_RESOURCE_STATES state_after,
                                       std::span<const std::byte> packed) {
    RecordFilledUpload(list, state_after, [&](uint8_t* mapped) {
        // Only the first subresource comes from the caller; the others are zeros.
        const auto* source = reinterpret_cast<const uint8_t*>(packed.data());
        for (size_t i = 0; i < layouts.size(); ++i) {
            UnpackSubresourceTo(mapped, i, source, i == 0 ? packed.size() : 0);
        }
    });
}

void Uploader<Texture2D>::RecordUploadByRows(ID3D12GraphicsCommandList* list, D3D12_RESOURCE_STATES state_after,
                                             const std::function<void(uint32_t, std::span<std::byte>)>& make_row) {
    RecordFilledUpload(list, state_after, [&](uint8_t* mapped) {
        for (size_t i = 1; i < layouts.size(); ++i) UnpackSubresourceTo(mapped, i, nullptr, 0);
        if (layouts.empty()) return;
        auto* first = reinterpret_cast<std::byte*>(mapped + layouts[0].Offset);
        for (uint32_t y = 0; y < num_rows[0]; ++y) {
            make_row(y, std::span(first + uint64_t{y} * layouts[0].Footprint.RowPitch, row_sizes[0]));
        }
    });
}

void Uploader<Texture2D>::RecordFilledUpload(ID3D12GraphicsCommandList* list, D3D12_RESOURCE_STATES state_after,
                                             const std::function<void(uint8_t*)>& fill) {
    void* mapped = nullptr;
    ThrowIfFailed(upload_buffer->Map(0 /* subresource */, nullptr /* all of it is read */, &mapped),
                  "map upload buffer");
    fill(static_cast<uint8_t*>(mapped));
    upload_buffer->Unmap(0, nullptr);

    RecordCopies(list, upload_buffer.Get(), true);
    RecordTransition(list, texture.resource, D3D12_RESOURCE_STATE_COPY_DEST, state_after);
}

Downloader<Texture2D>::Downloader(const Texture2D& served) : Loader<Texture2D>(served) {
    readback_buffer = CreateStagingBuffer(D3D12_HEAP_TYPE_READBACK, D3D12_RESOURCE_STATE_COPY_DEST);
}

void Downloader<Texture2D>::RecordReadback(ID3D12GraphicsCommandList* list, D3D12_RESOURCE_STATES current_state) {
    RecordTransition(list, texture.resource, current_state, D3D12_RESOURCE_STATE_COPY_SOURCE);
    RecordCopies(list, readback_buffer.Get(), false);
    RecordTransition(list, texture.resource, D3D12_RESOURCE_STATE_COPY_SOURCE, current_state);
}

Downloader<Texture2D>::~Downloader() {
    if (mapped_ != nullptr) readback_buffer->Unmap(0, nullptr);
}

void Downloader<Texture2D>::ReadBack() { PackFrom(reinterpret_cast<const uint8_t*>(Mapped())); }

const std::byte* Downloader<Texture2D>::Mapped() {
    if (mapped_ == nullptr)
        ThrowIfFailed(readback_buffer->Map(0 /* subresource */, nullptr /* all of it is read */, &mapped_),
                      "map download buffer");
    return static_cast<const std::byte*>(mapped_);
}

}  // namespace Orfa
