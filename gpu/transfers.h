#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "gpu/texture2d.h"
#include "sdk/d3d12_headers.h"

namespace Orfa {

// Leaves new elements uninitialised. The loader's CPU copies are always filled
// whole before they are read (by the caller before an upload, by ReadBack
// after a download), and zero-filling a frame's worth first would cost as
// much as filling it.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        if constexpr (sizeof...(Args) == 0) {
            ::new (static_cast<void*>(place)) U;
        } else {
            ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
        }
    }
};

// One subresource's packed pixels, in 32-bit words.
using PixelWords = std::vector<uint32_t, UninitializedAllocator<uint32_t>>;

template <class Resource>
class Loader;
template <class Resource>
class Uploader;
template <class Resource>
class Downloader;

// How a texture's subresources lie in a linear staging buffer, and how many
// bytes each takes tightly packed (rows of row_sizes bytes, no row pitch).
template <>
class Loader<Texture2D> {
public:
    explicit Loader(const Texture2D& served);
    virtual ~Loader() = default;

    Texture2D texture;
    uint64_t subresource_count = 0;
    uint64_t total_bytes = 0;
    std::vector<uint32_t> num_rows;
    std::vector<uint64_t> row_sizes;
    std::vector<D3D12_PLACED_SUBRESOURCE_FOOTPRINT> layouts;
    std::vector<uint64_t> packed_bytes;

protected:
    // A committed buffer of total_bytes plus the first offset in `heap_type`.
    ComPtr<ID3D12Resource> CreateStagingBuffer(D3D12_HEAP_TYPE heap_type, D3D12_RESOURCE_STATES initial_state) const;
    // Copies subresource i's packed rows from `packed` (`size` bytes; rows
    // beyond them are zeros) into a mapped staging buffer.
    void UnpackSubresourceTo(uint8_t* mapped, size_t i, const uint8_t* packed, uint64_t size) const;
    // Records the copies between the resource and `buffer`.
    void RecordCopies(ID3D12GraphicsCommandList* list, ID3D12Resource* buffer, bool to_resource) const;
};

template <>
class Uploader<Texture2D> : public Loader<Texture2D> {
public:
    explicit Uploader(const Texture2D& served);

    // Fills the upload buffer from the first subresource's packed rows held
    // by the caller (zeros after them and in every other subresource), so
    // that a frame's pixels are copied once, into the upload buffer; then
    // records the copies and a transition from COPY_DEST to `state_after`.
    void RecordUpload(ID3D12GraphicsCommandList* list, D3D12_RESOURCE_STATES state_after,
                      std::span<const std::byte> packed);
    // The same for pixels the caller keeps in another form than the
    // texture's: `make_row(y, row)` fills the first subresource's row y where
    // it lies in the upload buffer (row_sizes[0] bytes); every other
    // subresource is zeros.
    void RecordUploadByRows(ID3D12GraphicsCommandList* list, D3D12_RESOURCE_STATES state_after,
                            const std::function<void(uint32_t, std::span<std::byte>)>& make_row);

    ComPtr<ID3D12Resource> upload_buffer;  // released before the loader's members, as a derived member

private:
    // Maps the upload buffer for `fill`, then records the copies and the transition.
    void RecordFilledUpload(ID3D12GraphicsCommandList* list, D3D12_RESOURCE_STATES state_after,
                            const std::function<void(uint8_t*)>& fill);
};

template <>
class Downloader<Texture2D> : public Loader<Texture2D> {
public:
    explicit Downloader(const Texture2D& served);

    // Records a transition to COPY_SOURCE, the copies and the transition back.
    void RecordReadback(ID3D12GraphicsCommandList* list, D3D12_RESOURCE_STATES current_state);
    ~Downloader() override;

    // Copies the readback buffer into data; only after the copies completed.
    void ReadBack();
    // Packed copies of the subresources, empty until ReadBack: most
    // downloads are read where they lie, through Mapped.
    std::vector<PixelWords> data;
    // The readback buffer itself, mapped until the downloader goes, for
    // reading the rows where they lie (at layouts' offsets and row pitches)
    // instead of copying them into data; only after the copies completed.
    const std::byte* Mapped();

    ComPtr<ID3D12Resource> readback_buffer;  // released before the loader's members, as a derived member

private:
    void PackFrom(const uint8_t* mapped);

    void* mapped_ = nullptr;
};

// Records one transition barrier over all subresources.
void RecordTransition(ID3D12GraphicsCommandList* list, ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
                      D3D12_RESOURCE_STATES after);

}  // namespace Orfa
