// Textures, uploads and readbacks through the tool's device layer.
#include <gtest/gtest.h>

#include <cstring>

#include "gpu/exceptions.h"
#include "gpu/transfers.h"
#include "tests/gpu_fixture.h"

namespace {

using Orfa::Texture2D;
using Bytes = std::vector<uint8_t>;

Bytes BytesOf(const Orfa::PixelWords& words, size_t count) {
    Bytes bytes(count);
    std::memcpy(bytes.data(), words.data(), count);
    return bytes;
}

void Fill(Orfa::PixelWords& words, const Bytes& bytes) {
    ASSERT_GE(words.size() * 4, bytes.size());
    std::memcpy(words.data(), bytes.data(), bytes.size());
}

Bytes Pattern(size_t count, uint8_t seed) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

class Transfers : public test::GpuTest {
protected:
    // Uploads `bytes` into `texture`, leaves it in `state`, reads it back.
    Bytes RoundTrip(const Texture2D& texture, const Bytes& bytes, D3D12_RESOURCE_STATES state) {
        Orfa::Uploader<Texture2D> uploader(texture);
        Fill(uploader.data[0], bytes);
        uploader.RecordUpload(list.Get(), state);
        Orfa::Downloader<Texture2D> downloader(texture);
        downloader.RecordReadback(list.Get(), state);
        Submit();
        downloader.ReadBack();
        return BytesOf(downloader.data[0], bytes.size());
    }
};

}  // namespace

TEST_F(Transfers, NarrowR8TextureRoundTripsThroughPaddedRows) {
    Texture2D texture(L"narrow", dx12->device_.Get(), 3, 4, 1, DXGI_FORMAT_R8_UNORM, D3D12_RESOURCE_STATE_COPY_DEST,
                      D3D12_RESOURCE_FLAG_NONE);
    Orfa::Loader<Texture2D> loader(texture);
    EXPECT_EQ(loader.row_sizes.at(0), 3u);
    EXPECT_EQ(loader.num_rows.at(0), 4u);
    EXPECT_EQ(loader.layouts.at(0).Footprint.RowPitch, 256u);
    EXPECT_EQ(loader.total_bytes, 3 * 256u + 3u);
    EXPECT_EQ(loader.data.at(0).size(), 3u) << "12 bytes packed into whole words";

    const Bytes pixels = Pattern(12, 1);
    EXPECT_EQ(RoundTrip(texture, pixels, D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE), pixels);
    EXPECT_EQ(NewValidationErrors(), 0u);
}

TEST_F(Transfers, OnePixelFloatTextureUploadsFromOneWord) {
    Texture2D texture(L"one", dx12->device_.Get(), 1, 1, 1, DXGI_FORMAT_R32_FLOAT, D3D12_RESOURCE_STATE_COPY_DEST,
                      D3D12_RESOURCE_FLAG_NONE);
    Orfa::Uploader<Texture2D> uploader(texture);
    ASSERT_EQ(uploader.data.at(0).size(), 1u);
    const float value = 2.5f;
    std::memcpy(uploader.data[0].data(), &value, 4);
    uploader.RecordUpload(list.Get(), D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE);
    Orfa::Downloader<Texture2D> downloader(texture);
    downloader.RecordReadback(list.Get(), D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE);
    Submit();
    downloader.ReadBack();
    float read = 0;
    std::memcpy(&read, downloader.data[0].data(), 4);
    EXPECT_EQ(read, 2.5f);
    EXPECT_EQ(NewValidationErrors(), 0u);
}

TEST_F(Transfers, ArrayTextureMovesEverySliceToItsOwnArray) {
    Texture2D texture(L"array", dx12->device_.Get(), 5, 3, 2, DXGI_FORMAT_R32G32B32A32_SINT,
                      D3D12_RESOURCE_STATE_COPY_DEST, D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS);
    Orfa::Uploader<Texture2D> uploader(texture);
    ASSERT_EQ(uploader.subresource_count, 2u);
    EXPECT_EQ(uploader.layouts[1].Offset % 512, 0u);
    Fill(uploader.data[0], Pattern(5 * 3 * 16, 3));
    Fill(uploader.data[1], Pattern(5 * 3 * 16, 90));
    uploader.RecordUpload(list.Get(), D3D12_RESOURCE_STATE_UNORDERED_ACCESS);
    Orfa::Downloader<Texture2D> downloader(Texture2D(texture.resource));
    downloader.RecordReadback(list.Get(), D3D12_RESOURCE_STATE_UNORDERED_ACCESS);
    Submit();
    downloader.ReadBack();
    EXPECT_EQ(BytesOf(downloader.data[0], 240), Pattern(240, 3));
    EXPECT_EQ(BytesOf(downloader.data[1], 240), Pattern(240, 90));
    EXPECT_EQ(NewValidationErrors(), 0u);
}

TEST_F(Transfers, WrappedBufferMovesAsOneBufferCopy) {
    const ComPtr<ID3D12Resource> buffer = Buffer(100, D3D12_HEAP_TYPE_DEFAULT, D3D12_RESOURCE_STATE_COPY_DEST,
                                                 D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS);

    const Texture2D wrapped(buffer.Get());
    EXPECT_FALSE(wrapped.owns_resource);
    EXPECT_EQ(wrapped.array_size, 1u);
    const Bytes bytes = Pattern(100, 5);
    EXPECT_EQ(RoundTrip(wrapped, bytes, D3D12_RESOURCE_STATE_UNORDERED_ACCESS), bytes);
    EXPECT_EQ(NewValidationErrors(), 0u);
}

TEST_F(Transfers, ReadbackLeavesTheResourceInItsState) {
    for (D3D12_RESOURCE_STATES state :
         {D3D12_RESOURCE_STATE_UNORDERED_ACCESS, D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE}) {
        Texture2D texture(L"state", dx12->device_.Get(), 4, 4, 1, DXGI_FORMAT_R16G16_FLOAT, state,
                          D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS);
        Orfa::Downloader<Texture2D> downloader(texture);
        downloader.RecordReadback(list.Get(), state);
        downloader.RecordReadback(list.Get(), state);  // valid only if the first left it in `state`
        Submit();
        EXPECT_EQ(NewValidationErrors(), 0u);

        Orfa::RecordTransition(list.Get(), texture.resource, D3D12_RESOURCE_STATE_COPY_SOURCE, state);
        testing::internal::CaptureStderr();
        Submit();
        const std::string complaint = testing::internal::GetCapturedStderr();
        EXPECT_EQ(NewValidationErrors(), 1u) << "the state is not COPY_SOURCE";
        EXPECT_NE(complaint.find("softgpu: validation error: transition barrier before-state"), std::string::npos);
        errors_before = softgpu_validation_error_count();
    }
}

TEST_F(Transfers, TextureOwnershipFollowsCopies) {
    Texture2D owning(L"owned", dx12->device_.Get(), 2, 2, 1, DXGI_FORMAT_R8_UNORM, D3D12_RESOURCE_STATE_COPY_DEST,
                     D3D12_RESOURCE_FLAG_NONE);
    ID3D12Resource* resource = owning.resource;
    const ULONG base = resource->AddRef() - 1;
    resource->Release();
    {
        Texture2D copy = owning;
        EXPECT_TRUE(copy.owns_resource);
        EXPECT_EQ(resource->AddRef() - 1, base + 1) << "an owning copy takes a reference";
        resource->Release();
        Texture2D borrowed(resource);
        Texture2D borrowed_copy = borrowed;
        EXPECT_EQ(resource->AddRef() - 1, base + 1) << "wrappers take none";
        resource->Release();
    }
    EXPECT_EQ(resource->AddRef() - 1, base);
    resource->Release();

    const Texture2D empty;
    EXPECT_EQ(empty.array_size, 0u);
    EXPECT_TRUE(empty.owns_resource);
    EXPECT_EQ(empty.resource, nullptr);
}

TEST(OrfaExceptions, WhatTextsCarryTheMessageAndTheCodeSurvivesCopies) {
    try {
        Texture2D wrapped(nullptr);
        FAIL() << "wrapping nothing must throw";
    } catch (const Orfa::Exception::InvalidArg& error) {
        EXPECT_STREQ(error.what(), "ERROR: Unable to create Texture2D from nullptr ID3D12Resource*");
    }
    const Orfa::Exception::Device::Error error(0x80070057u, "create texture");
    const Orfa::Exception::Device::Error copy = error;
    EXPECT_STREQ(copy.what(), "ERROR: create texture");
    EXPECT_EQ(copy.code, 0x80070057u);
    const Orfa::Exception::Device& base = copy;
    EXPECT_STREQ(base.what(), "ERROR: create texture");
}

TEST_F(Transfers, FailedTextureCreationIsADeviceError) {
    try {
        Texture2D texture(L"bad", dx12->device_.Get(), 0, 4, 1, DXGI_FORMAT_R8_UNORM, D3D12_RESOURCE_STATE_COPY_DEST,
                          D3D12_RESOURCE_FLAG_NONE);
        FAIL() << "a zero-width texture must not be created";
    } catch (const Orfa::Exception::Device::Error& error) {
        EXPECT_STREQ(error.what(), "ERROR: create texture");
        EXPECT_EQ(error.code, static_cast<uint32_t>(E_INVALIDARG));
    }
}
