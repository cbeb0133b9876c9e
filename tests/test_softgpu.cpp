// The software device's own checks: it must catch what the debug layer catches.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "gpu/transfers.h"
#include "tests/gpu_fixture.h"
#include "tests/test_support.h"

namespace {

using Orfa::Texture2D;

class Validation : public test::GpuTest {
protected:
    // Runs what was recorded and returns the validation lines it caused.
    std::string SubmitCapturingErrors() {
        return test::CapturedStderr([this] { Submit(); });
    }
};

}  // namespace

TEST_F(Validation, WrongBeforeStateIsReported) {
    Texture2D texture(L"t", dx12->device_.Get(), 2, 2, 1, DXGI_FORMAT_R32_FLOAT, D3D12_RESOURCE_STATE_COPY_DEST,
                      D3D12_RESOURCE_FLAG_NONE);
    Orfa::RecordTransition(list.Get(), texture.resource, D3D12_RESOURCE_STATE_UNORDERED_ACCESS,
                           D3D12_RESOURCE_STATE_COPY_SOURCE);
    const std::string errors = SubmitCapturingErrors();
    EXPECT_EQ(NewValidationErrors(), 1u);
    EXPECT_NE(errors.find("softgpu: validation error: transition barrier before-state 0x8 does not match the state "
                          "0x400 of subresource 0 of texture \"t\""),
              std::string::npos)
        << errors;
}

TEST_F(Validation, OutOfBoundsCopiesAreReportedAndNotPerformed) {
    auto source = Buffer(64, D3D12_HEAP_TYPE_UPLOAD, D3D12_RESOURCE_STATE_GENERIC_READ);
    auto destination = Buffer(32, D3D12_HEAP_TYPE_READBACK, D3D12_RESOURCE_STATE_COPY_DEST);
    list->CopyBufferRegion(destination.Get(), 0, source.Get(), 0, 64);
    list->CopyBufferRegion(destination.Get(), 0, source.Get(), ~UINT64{0}, 2);  // an offset that wraps around
    SubmitCapturingErrors();
    EXPECT_EQ(NewValidationErrors(), 2u);

    Texture2D texture(L"small", dx12->device_.Get(), 4, 4, 1, DXGI_FORMAT_R8_UNORM, D3D12_RESOURCE_STATE_COPY_SOURCE,
                      D3D12_RESOURCE_FLAG_NONE);
    D3D12_TEXTURE_COPY_LOCATION from = {};
    from.pResource = texture.resource;
    from.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    D3D12_TEXTURE_COPY_LOCATION to = {};
    to.pResource = destination.Get();
    to.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
    to.PlacedFootprint.Footprint = {DXGI_FORMAT_R8_UNORM, 4, 4, 1, 256};  // needs 772 bytes, the buffer has 32
    list->CopyTextureRegion(&to, 0, 0, 0, &from, nullptr);
    const std::string errors = SubmitCapturingErrors();
    EXPECT_EQ(NewValidationErrors(), 3u);
    EXPECT_NE(errors.find("reaches past the end"), std::string::npos) << errors;
}

TEST_F(Validation, CopiesNeedCopyStates) {
    Texture2D texture(L"busy", dx12->device_.Get(), 2, 2, 1, DXGI_FORMAT_R32_FLOAT,
                      D3D12_RESOURCE_STATE_UNORDERED_ACCESS, D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS);
    Orfa::Downloader<Texture2D> downloader(texture);
    D3D12_TEXTURE_COPY_LOCATION from = {};
    from.pResource = texture.resource;
    from.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
    D3D12_TEXTURE_COPY_LOCATION to = {};
    to.pResource = downloader.readback_buffer.Get();
    to.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
    to.PlacedFootprint = downloader.layouts[0];
    list->CopyTextureRegion(&to, 0, 0, 0, &from, nullptr);  // no transition to COPY_SOURCE first
    const std::string errors = SubmitCapturingErrors();
    EXPECT_EQ(NewValidationErrors(), 1u);
    EXPECT_NE(errors.find("CopyTextureRegion source"), std::string::npos) << errors;
}

TEST_F(Validation, CommandListLifecycleRules) {
    test::CapturedStderr([this] {
        EXPECT_EQ(list->Reset(allocator.Get(), nullptr), E_FAIL) << "an open list cannot be reset";
        ID3D12CommandList* lists[] = {list.Get()};
        dx12->command_queue_->ExecuteCommandLists(1, lists);  // not closed
        EXPECT_HRESULT_SUCCEEDED(list->Close());
        EXPECT_EQ(list->Close(), E_FAIL);
    });
    EXPECT_EQ(NewValidationErrors(), 3u);
    EXPECT_HRESULT_SUCCEEDED(list->Reset(allocator.Get(), nullptr));
}

TEST_F(Validation, OnlyCpuHeapsMap) {
    Texture2D texture(L"gpu only", dx12->device_.Get(), 2, 2, 1, DXGI_FORMAT_R8_UNORM, D3D12_RESOURCE_STATE_COPY_DEST,
                      D3D12_RESOURCE_FLAG_NONE);
    void* data = nullptr;
    test::CapturedStderr([&] { EXPECT_EQ(texture.resource->Map(0, nullptr, &data), E_INVALIDARG); });
    auto upload = Buffer(16, D3D12_HEAP_TYPE_UPLOAD, D3D12_RESOURCE_STATE_GENERIC_READ);
    EXPECT_HRESULT_SUCCEEDED(upload->Map(0, nullptr, &data));
    EXPECT_NE(data, nullptr);
    upload->Unmap(0, nullptr);
}

// A resource is zero when it is made, also where it takes the memory of one
// of its size that was released: small, and large enough to be cleared in
// parts, one of them short.
TEST_F(Validation, AResourceMadeAgainReadsZero) {
    for (const UINT64 bytes : {UINT64{16}, UINT64{3} << 20 | 5}) {
        SCOPED_TRACE(std::to_string(bytes) + " bytes");
        auto map = [&](ID3D12Resource* buffer) {
            void* data = nullptr;
            EXPECT_HRESULT_SUCCEEDED(buffer->Map(0, nullptr, &data));
            return static_cast<unsigned char*>(data);
        };
        for (int round = 0; round < 2; ++round) {
            auto buffer = Buffer(bytes, D3D12_HEAP_TYPE_UPLOAD, D3D12_RESOURCE_STATE_GENERIC_READ);
            unsigned char* data = map(buffer.Get());
            ASSERT_NE(data, nullptr);
            const auto nonzero = std::find_if(data, data + bytes, [](unsigned char b) { return b != 0; });
            EXPECT_EQ(nonzero - data, static_cast<ptrdiff_t>(bytes)) << "round " << round;
            std::fill(data, data + bytes, static_cast<unsigned char>(0xAB));
            buffer->Unmap(0, nullptr);
        }
    }
}

TEST_F(Validation, KernelsRunInOrderWithTheirDeclaredStates) {
    Texture2D texture(L"k", dx12->device_.Get(), 2, 1, 1, DXGI_FORMAT_R32_FLOAT, D3D12_RESOURCE_STATE_UNORDERED_ACCESS,
                      D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS);
    ComPtr<ISoftGpuKernelRecorder> recorder;
    ASSERT_HRESULT_SUCCEEDED(list.As(&recorder));
    SoftGpuKernel write{"write",
                        {{texture.resource, D3D12_RESOURCE_STATE_UNORDERED_ACCESS, SoftGpuAccess::kWrite}},
                        [](std::span<const SoftGpuSurface> surfaces) {
                            auto* row = reinterpret_cast<float*>(surfaces[0].Row(0, 0));
                            row[0] = 1.5f;
                            row[1] = -2.0f;
                        }};
    ASSERT_HRESULT_SUCCEEDED(recorder->RecordKernel(write));
    Orfa::Downloader<Texture2D> downloader(texture);
    downloader.RecordReadback(list.Get(), D3D12_RESOURCE_STATE_UNORDERED_ACCESS);
    // A kernel that needs a state the texture is not in is reported.
    SoftGpuKernel wrong{"wrong",
                        {{texture.resource, D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE, SoftGpuAccess::kRead}},
                        [](std::span<const SoftGpuSurface>) {}};
    ASSERT_HRESULT_SUCCEEDED(recorder->RecordKernel(wrong));
    // A write declared in a read-only state is reported too.
    SoftGpuKernel read_only_write{"read_only_write",
                                  {{texture.resource, D3D12_RESOURCE_STATE_COMMON, SoftGpuAccess::kWrite}},
                                  [](std::span<const SoftGpuSurface>) {}};
    ASSERT_HRESULT_SUCCEEDED(recorder->RecordKernel(read_only_write));
    const std::string errors = SubmitCapturingErrors();
    downloader.ReadBack();
    const auto* values = reinterpret_cast<const float*>(downloader.data[0].data());
    EXPECT_EQ(values[0], 1.5f);
    EXPECT_EQ(values[1], -2.0f);
    EXPECT_EQ(NewValidationErrors(), 2u);
    EXPECT_NE(errors.find("kernel \"wrong\""), std::string::npos) << errors;
    EXPECT_NE(errors.find("kernel \"read_only_write\" writes"), std::string::npos) << errors;
}

TEST(SoftGpuDevice, OtherDevicesAreTold) {
    Dx12* made = nullptr;
    test::CapturedStdout([&] { made = &GetDx12(); });
    Dx12& dx12 = *made;
    ComPtr<ISoftGpuDevice> own;
    EXPECT_HRESULT_SUCCEEDED(dx12.device_.As(&own));
    ComPtr<ISoftGpuKernelRecorder> not_a_list;
    EXPECT_EQ(dx12.device_.As(&not_a_list), E_NOINTERFACE);
}

TEST_F(Validation, LimitsOfDirect3D12ThatTheToolReliesOn) {
    struct Case {
        const char* what;
        uint32_t width, height;
        D3D12_RESOURCE_STATES state;
        D3D12_RESOURCE_FLAGS flags;
        bool created;
    };
    const auto uav = D3D12_RESOURCE_STATE_UNORDERED_ACCESS;
    const auto allow_uav = D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS;
    for (const Case& c : {Case{"largest texture", 16384, 1, D3D12_RESOURCE_STATE_COPY_DEST, {}, true},
                          Case{"too wide", 16385, 1, D3D12_RESOURCE_STATE_COPY_DEST, {}, false},
                          Case{"too high", 1, 16385, D3D12_RESOURCE_STATE_COPY_DEST, {}, false},
                          Case{"unordered access allowed", 2, 2, uav, allow_uav, true},
                          Case{"unordered access not allowed", 2, 2, uav, {}, false}}) {
        D3D12_RESOURCE_DESC desc = {};
        desc.Dimension = D3D12_RESOURCE_DIMENSION_TEXTURE2D;
        desc.Width = c.width;
        desc.Height = c.height;
        desc.DepthOrArraySize = 1;
        desc.MipLevels = 1;
        desc.Format = DXGI_FORMAT_R8_UNORM;
        desc.SampleDesc.Count = 1;
        desc.Flags = c.flags;
        D3D12_HEAP_PROPERTIES heap = {};
        heap.Type = D3D12_HEAP_TYPE_DEFAULT;
        ComPtr<ID3D12Resource> resource;
        HRESULT result = E_FAIL;
        const std::string errors = test::CapturedStderr([&] {
            result = dx12->device_->CreateCommittedResource(&heap, D3D12_HEAP_FLAG_NONE, &desc, c.state, nullptr,
                                                            IID_PPV_ARGS(&resource));
        });
        EXPECT_EQ(SUCCEEDED(result), c.created) << c.what;
        EXPECT_EQ(NewValidationErrors(), c.created ? 0u : 1u) << c.what << errors;
        errors_before = softgpu_validation_error_count();
    }

    // Only a resource made for it may be moved into unordered access.
    Texture2D plain(L"plain", dx12->device_.Get(), 2, 2, 1, DXGI_FORMAT_R32_FLOAT, D3D12_RESOURCE_STATE_COPY_DEST,
                    D3D12_RESOURCE_FLAG_NONE);
    Orfa::RecordTransition(list.Get(), plain.resource, D3D12_RESOURCE_STATE_COPY_DEST, uav);
    const std::string errors = SubmitCapturingErrors();
    EXPECT_EQ(NewValidationErrors(), 1u);
    EXPECT_NE(errors.find("not created with D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS"), std::string::npos) << errors;
}

namespace {

// Direct3D 12's implicit state changes: what a resource is promoted to by
// its first access from COMMON, and what decays back to COMMON when the
// ExecuteCommandLists that used it completes.
class ImplicitStates : public Validation {
protected:
    ComPtr<ID3D12Resource> Texture(D3D12_RESOURCE_STATES state, D3D12_RESOURCE_FLAGS flags) {
        return Texture2D(L"texture", dx12->device_.Get(), 4, 4, 1, DXGI_FORMAT_R32_FLOAT, state, flags).resource;
    }
    void Transition(ID3D12GraphicsCommandList* into, ID3D12Resource* resource, D3D12_RESOURCE_STATES before,
                    D3D12_RESOURCE_STATES after) {
        Orfa::RecordTransition(into, resource, before, after);
    }
    // A copy out of `resource` into a readback buffer, with no barrier.
    void CopyOut(ID3D12Resource* resource) {
        readbacks.push_back(Buffer(4096, D3D12_HEAP_TYPE_READBACK, D3D12_RESOURCE_STATE_COPY_DEST));
        if (resource->GetDesc().Dimension == D3D12_RESOURCE_DIMENSION_BUFFER) {
            list->CopyBufferRegion(readbacks.back().Get(), 0, resource, 0, 64);
            return;
        }
        D3D12_TEXTURE_COPY_LOCATION to = {};
        to.pResource = readbacks.back().Get();
        to.Type = D3D12_TEXTURE_COPY_TYPE_PLACED_FOOTPRINT;
        to.PlacedFootprint.Footprint = {DXGI_FORMAT_R32_FLOAT, 4, 4, 1, 256};
        D3D12_TEXTURE_COPY_LOCATION from = {};
        from.pResource = resource;
        from.Type = D3D12_TEXTURE_COPY_TYPE_SUBRESOURCE_INDEX;
        list->CopyTextureRegion(&to, 0, 0, 0, &from, nullptr);
    }
    void UseInKernel(ID3D12Resource* resource, D3D12_RESOURCE_STATES state) {
        ComPtr<ISoftGpuKernelRecorder> recorder;
        ASSERT_HRESULT_SUCCEEDED(list.As(&recorder));
        ASSERT_HRESULT_SUCCEEDED(recorder->RecordKernel(
            {"use", {{resource, state, SoftGpuAccess::kWrite}}, [](std::span<const SoftGpuSurface>) {}}));
    }
    std::vector<ComPtr<ID3D12Resource>> readbacks;
};

}  // namespace

TEST_F(ImplicitStates, PromotionAndDecayPerKindOfResource) {
    const auto common = D3D12_RESOURCE_STATE_COMMON, uav = D3D12_RESOURCE_STATE_UNORDERED_ACCESS,
               source = D3D12_RESOURCE_STATE_COPY_SOURCE, dest = D3D12_RESOURCE_STATE_COPY_DEST,
               shader = D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE;
    const auto allow_uav = D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS;
    const auto simultaneous = D3D12_RESOURCE_FLAG_ALLOW_SIMULTANEOUS_ACCESS;
    struct Case {
        const char* what;
        std::function<ComPtr<ID3D12Resource>()> make;
        std::function<void(ID3D12Resource*)> first, second;  // two ExecuteCommandLists in a row
        uint64_t errors;
    };
    auto buffer = [&] { return Buffer(256, D3D12_HEAP_TYPE_DEFAULT, uav, allow_uav); };
    auto used_in_a_kernel = [&](ID3D12Resource* r) { UseInKernel(r, uav); };
    const std::vector<Case> cases = {
        {"a buffer starts in COMMON whatever state it was made in, and its kernel use promotes it", buffer,
         used_in_a_kernel, [](ID3D12Resource*) {}, 0},
        {"a buffer decays to COMMON: a barrier from unordered access is a mismatch", buffer, used_in_a_kernel,
         [&](ID3D12Resource* r) { Transition(list.Get(), r, uav, source); }, 1},
        {"a buffer decays to COMMON: a barrier from COMMON is valid", buffer, used_in_a_kernel,
         [&](ID3D12Resource* r) { Transition(list.Get(), r, common, source); }, 0},
        {"a buffer is promoted by a copy without any barrier", buffer, used_in_a_kernel,
         [&](ID3D12Resource* r) { CopyOut(r); }, 0},
        {"a simultaneous-access texture decays to COMMON", [&] { return Texture(common, simultaneous | allow_uav); },
         [&](ID3D12Resource* r) { Transition(list.Get(), r, common, uav); },
         [&](ID3D12Resource* r) { Transition(list.Get(), r, uav, source); }, 1},
        {"an ordinary texture keeps its state", [&] { return Texture(dest, {}); },
         [&](ID3D12Resource* r) { Transition(list.Get(), r, dest, shader); },
         [&](ID3D12Resource* r) { Transition(list.Get(), r, shader, source); }, 0},
        {"an ordinary texture promoted to a read-only state decays", [&] { return Texture(common, {}); },
         [&](ID3D12Resource* r) { CopyOut(r); }, [&](ID3D12Resource* r) { Transition(list.Get(), r, source, dest); },
         1},
        {"an ordinary texture promoted to a read-only state is COMMON again", [&] { return Texture(common, {}); },
         [&](ID3D12Resource* r) { CopyOut(r); }, [&](ID3D12Resource* r) { Transition(list.Get(), r, common, dest); },
         0},
        {"an ordinary texture in COMMON is not promoted to unordered access",
         [&] { return Texture(common, allow_uav); }, used_in_a_kernel, [](ID3D12Resource*) {}, 1},
    };
    for (const Case& c : cases) {
        const ComPtr<ID3D12Resource> resource = c.make();
        c.first(resource.Get());
        SubmitCapturingErrors();
        c.second(resource.Get());
        const std::string errors = SubmitCapturingErrors();
        EXPECT_EQ(NewValidationErrors(), c.errors) << c.what << "\n" << errors;
        errors_before = softgpu_validation_error_count();
    }
}

TEST_F(ImplicitStates, ListsExecutedTogetherDecayOnlyAtTheEnd) {
    const ComPtr<ID3D12Resource> buffer =
        Buffer(256, D3D12_HEAP_TYPE_DEFAULT, D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS);
    const ComPtr<ID3D12CommandAllocator> other_allocator = dx12->CreateCommandAllocator();
    const ComPtr<ID3D12GraphicsCommandList> other = dx12->CreateCommandList(other_allocator.Get());
    Transition(list.Get(), buffer.Get(), D3D12_RESOURCE_STATE_COMMON, D3D12_RESOURCE_STATE_UNORDERED_ACCESS);
    Transition(other.Get(), buffer.Get(), D3D12_RESOURCE_STATE_UNORDERED_ACCESS, D3D12_RESOURCE_STATE_COPY_SOURCE);
    ASSERT_HRESULT_SUCCEEDED(list->Close());
    ASSERT_HRESULT_SUCCEEDED(other->Close());
    ID3D12CommandList* both[] = {list.Get(), other.Get()};
    dx12->command_queue_->ExecuteCommandLists(2, both);
    ASSERT_HRESULT_SUCCEEDED(dx12->command_queue_->Signal(fence.Get(), ++fence_value));
    WaitForFence(fence.Get(), fence_value);
    EXPECT_EQ(NewValidationErrors(), 0u);
    ASSERT_HRESULT_SUCCEEDED(allocator->Reset());
    ASSERT_HRESULT_SUCCEEDED(list->Reset(allocator.Get(), nullptr));
}
