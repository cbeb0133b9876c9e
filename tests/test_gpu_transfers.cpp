// The tool's device layer's failures. Its textures, uploads and readbacks
// are checked where the tool moves frames and dumps through them.
#include <gtest/gtest.h>

#include <cstring>

#include "gpu/exceptions.h"
#include "gpu/transfers.h"
#include "tests/gpu_fixture.h"

namespace {

using Orfa::Texture2D;
class Transfers : public test::GpuTest {};

}  // namespace

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
