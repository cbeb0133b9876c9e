// The reference upscaler library on the software device, driven directly.
#include <gtest/gtest.h>

#include <Imath/half.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <set>

#include "gpu/transfers.h"
#include "platform/d3d12/stubs.h"
#include "sdk/kavo_api.h"
#include "tests/gpu_fixture.h"

namespace {

using Imath::half;
using Orfa::Texture2D;

constexpr float kPi = 3.14159265f;

struct Rgb {
    float r, g, b;
};

// One frame's inputs as the library receives them.
struct FrameInput {
    uint32_t width = 0, height = 0;
    std::function<Rgb(float x, float y)> scene;  // colour at an input-space position
    float jitter_x = 0, jitter_y = 0;
    float velocity_x = 0, velocity_y = 0;  // the same for every pixel
    bool reset = false;
};

class Upscaler : public test::GpuTest {
protected:
    void TearDown() override {
        EXPECT_EQ(kavoDestroyContext(context), KAVO_SUCCESS);
        EXPECT_EQ(NewValidationErrors(), 0u);
    }

    void Init(uint32_t out_w, uint32_t out_h, uint32_t flags, uint32_t model = KAVO_MODEL_KPSS) {
        ASSERT_EQ(kavoD3D12CreateContext(dx12->device_.Get(), &context), KAVO_SUCCESS);
        ASSERT_EQ(kavoSelectNetworkModel(context, model), KAVO_SUCCESS);
        KavoInitParams params{};
        params.output_width = out_w;
        params.output_height = out_h;
        params.quality = 101;
        params.flags = flags;
        ASSERT_EQ(kavoD3D12Init(context, &params), KAVO_SUCCESS);
        output_width = out_w;
        output_height = out_h;
        init_flags = flags;
    }

    Texture2D Upload(const wchar_t* name, uint32_t w, uint32_t h, DXGI_FORMAT format, const void* bytes, size_t size,
                     std::vector<std::unique_ptr<Orfa::Uploader<Texture2D>>>& keep) {
        Texture2D texture(name, dx12->device_.Get(), w, h, 1, format, D3D12_RESOURCE_STATE_COPY_DEST,
                          D3D12_RESOURCE_FLAG_NONE);
        keep.push_back(std::make_unique<Orfa::Uploader<Texture2D>>(texture));
        keep.back()->RecordUpload(list.Get(), D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE,
                                  std::span(static_cast<const std::byte*>(bytes), size));
        return texture;
    }

    // Runs one frame and returns the output's RGB values.
    std::vector<Rgb> Run(const FrameInput& in) {
        const size_t pixels = size_t{in.width} * in.height;
        std::vector<half> color(pixels * 4), velocity(pixels * 2);
        for (uint32_t y = 0; y < in.height; ++y) {
            for (uint32_t x = 0; x < in.width; ++x) {
                const Rgb c = in.scene(x + 0.5f + in.jitter_x, y + 0.5f + in.jitter_y);
                half* p = &color[(size_t{y} * in.width + x) * 4];
                p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = 1.0f;
                velocity[(size_t{y} * in.width + x) * 2] = in.velocity_x;
                velocity[(size_t{y} * in.width + x) * 2 + 1] = in.velocity_y;
            }
        }
        const std::vector<float> depth(pixels, 0.5f);
        std::vector<std::unique_ptr<Orfa::Uploader<Texture2D>>> uploads;
        const Texture2D color_texture = Upload(L"color", in.width, in.height, DXGI_FORMAT_R16G16B16A16_FLOAT,
                                               color.data(), color.size() * 2, uploads);
        const Texture2D velocity_texture = Upload(L"velocity", in.width, in.height, DXGI_FORMAT_R16G16_FLOAT,
                                                  velocity.data(), velocity.size() * 2, uploads);
        const Texture2D depth_texture =
            Upload(L"depth", in.width, in.height, DXGI_FORMAT_R32_FLOAT, depth.data(), depth.size() * 4, uploads);
        const Texture2D output(L"output", dx12->device_.Get(), output_width, output_height, 1,
                               DXGI_FORMAT_R16G16B16A16_FLOAT, D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE,
                               D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS);

        KavoExecuteParams params{};
        params.color = color_texture.resource;
        params.velocity = velocity_texture.resource;
        params.depth = (init_flags & KAVO_INIT_FLAG_NO_DEPTH) ? nullptr : depth_texture.resource;
        params.output = output.resource;
        params.jitter_x = in.jitter_x;
        params.jitter_y = in.jitter_y;
        params.exposure_scale = 1.0f;
        params.reset = in.reset ? 1 : 0;
        params.input_width = in.width;
        params.input_height = in.height;
        EXPECT_EQ(kavoD3D12Execute(context, list.Get(), &params), KAVO_SUCCESS);
        Orfa::Downloader<Texture2D> downloader(output);
        downloader.RecordReadback(list.Get(), D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE);
        Submit();
        downloader.ReadBack();
        const auto* values = reinterpret_cast<const half*>(downloader.data[0].data());
        std::vector<Rgb> result(size_t{output_width} * output_height);
        for (size_t i = 0; i < result.size(); ++i) result[i] = {values[4 * i], values[4 * i + 1], values[4 * i + 2]};
        return result;
    }

    KavoContext context = nullptr;
    uint32_t output_width = 0, output_height = 0, init_flags = 0;
};

// Detail finer than an input pixel: stripes of 1.3 input pixels.
Rgb Stripes(float x, float y) {
    const float v = 0.5f + 0.5f * std::sin(2 * kPi * x / 1.3f) * std::cos(2 * kPi * y / 3.1f);
    return {v, 0.25f + 0.5f * v, 0.3f};
}

constexpr uint32_t kViewportPixels = KAVO_INIT_FLAG_INVERTED_DEPTH;  // velocity in pixels, with depth

}  // namespace

TEST_F(Upscaler, ExtremeScalesAndJittersAreDefined) {
    // Under the sanitizers, any float-to-integer conversion out of range or
    // signed overflow on the way fails this test.
    Init(32, 32, kViewportPixels);
    ASSERT_EQ(kavoSetJitterScale(context, 1e20f, 1.0f), KAVO_SUCCESS);
    ASSERT_EQ(kavoSetVelocityScale(context, 1e20f, -1e20f), KAVO_SUCCESS);
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const float jitters[][2] = {{0.3f, -0.2f}, {inf, -inf}, {nan, 0.25f}, {-0.4f, 1e30f}};
    for (uint32_t frame = 0; frame < 4; ++frame) {
        FrameInput in{16, 16, Stripes, jitters[frame][0], jitters[frame][1], 1.0f, -1.0f, frame == 0};
        for (const Rgb& pixel : Run(in)) {
            ASSERT_TRUE(std::isfinite(pixel.r) && std::isfinite(pixel.g) && std::isfinite(pixel.b)) << frame;
        }
    }
}

// What the library keeps from frame to frame is the history (twice, in half
// precision), and at input resolution the motion, depth and shading change;
// the intermediates it offers for dumping, the splat model's sums among them,
// take memory only once a dump asks for them.
TEST_F(Upscaler, DumpIntermediatesTakeMemoryOnlyWhenDumped) {
    constexpr uint32_t kOut = 128, kIn = 64;  // rows of whole 256-byte pitches: no padding to count
    constexpr uint64_t kOutputPixels = uint64_t{kOut} * kOut, kInputPixels = uint64_t{kIn} * kIn;
    const struct {
        uint32_t model;
        uint64_t dump_output_bytes_per_pixel;  // half history, reprojected history, weights, packed (+ splat sums)
    } cases[] = {{KAVO_MODEL_KPSS, 8 + 16 + 4 + 4}, {KAVO_MODEL_SPLAT, 8 + 16 + 4 + 4 + 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        const uint64_t before_init = softgpu_resource_bytes();
        Init(kOut, kOut, kViewportPixels, c.model);
        Run({kIn, kIn, Stripes, 0, 0, 0, 0, true});
        Run({kIn, kIn, Stripes, 0.25f, -0.25f});
        // The inputs and output of Run are released by now: what is left is the library's.
        const uint64_t kept = softgpu_resource_bytes() - before_init;
        EXPECT_EQ(kept, 2 * 8 * kOutputPixels + (8 + 2 * 4 + 2 * 8) * kInputPixels);
        const ResourceDumpList* dumps = nullptr;
        ASSERT_EQ(kavoD3D12GetResourcesToDump(context, &dumps), KAVO_SUCCESS);
        EXPECT_GE(softgpu_resource_bytes() - before_init - kept, c.dump_output_bytes_per_pixel * kOutputPixels);
        EXPECT_EQ(kavoDestroyContext(context), KAVO_SUCCESS);
        EXPECT_EQ(softgpu_resource_bytes(), before_init);
        context = nullptr;
    }
}

namespace {

// A device that is not the software device's.
class ForeignDevice final : public softgpu::stubs::ID3D12DeviceStub {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

}  // namespace

TEST_F(Upscaler, EveryMisuseReturnsAFailure) {
    KavoContext none = nullptr;
    ForeignDevice foreign;
    EXPECT_NE(kavoD3D12CreateContext(nullptr, &none), KAVO_SUCCESS);
    EXPECT_NE(kavoD3D12CreateContext(dx12->device_.Get(), nullptr), KAVO_SUCCESS);
    EXPECT_NE(kavoD3D12CreateContext(&foreign, &none), KAVO_SUCCESS);
    EXPECT_EQ(none, nullptr);
    EXPECT_NE(kavoSelectNetworkModel(nullptr, 0), KAVO_SUCCESS);
    EXPECT_NE(kavoGetProperties(nullptr, nullptr, nullptr), KAVO_SUCCESS);
    EXPECT_NE(kavoD3D12Init(nullptr, nullptr), KAVO_SUCCESS);
    EXPECT_NE(kavoSetJitterScale(nullptr, 1, 1), KAVO_SUCCESS);
    EXPECT_NE(kavoSetVelocityScale(nullptr, 1, 1), KAVO_SUCCESS);
    EXPECT_NE(kavoD3D12Execute(nullptr, list.Get(), nullptr), KAVO_SUCCESS);
    EXPECT_NE(kavoD3D12GetResourcesToDump(nullptr, nullptr), KAVO_SUCCESS);
    EXPECT_EQ(kavoDestroyContext(nullptr), KAVO_SUCCESS) << "destroying no context is allowed";

    ASSERT_EQ(kavoD3D12CreateContext(dx12->device_.Get(), &context), KAVO_SUCCESS);
    EXPECT_NE(kavoSelectNetworkModel(context, 2), KAVO_SUCCESS);
    const ResourceDumpList* dumps = nullptr;
    EXPECT_NE(kavoD3D12GetResourcesToDump(context, &dumps), KAVO_SUCCESS) << "not initialised";
    auto texture = [&](uint32_t size, DXGI_FORMAT format, D3D12_RESOURCE_FLAGS flags = D3D12_RESOURCE_FLAG_NONE) {
        return Texture2D(L"t", dx12->device_.Get(), size, size, 1, format,
                         D3D12_RESOURCE_STATE_NON_PIXEL_SHADER_RESOURCE, flags);
    };
    const Texture2D color = texture(4, DXGI_FORMAT_R16G16B16A16_FLOAT), wrong = texture(4, DXGI_FORMAT_R32_FLOAT);
    const Texture2D velocity = texture(4, DXGI_FORMAT_R16G16_FLOAT);
    const Texture2D output = texture(8, DXGI_FORMAT_R16G16B16A16_FLOAT, D3D12_RESOURCE_FLAG_ALLOW_UNORDERED_ACCESS);
    KavoExecuteParams params{};
    params.color = color.resource;
    params.velocity = velocity.resource;
    params.output = output.resource;
    params.input_width = params.input_height = 4;
    EXPECT_NE(kavoD3D12Execute(context, list.Get(), &params), KAVO_SUCCESS) << "not initialised";

    KavoInitParams init{};
    EXPECT_NE(kavoD3D12Init(context, &init), KAVO_SUCCESS) << "no output size";
    init.output_width = init.output_height = 8;
    init.flags = KAVO_INIT_FLAG_NO_DEPTH;
    ASSERT_EQ(kavoD3D12Init(context, &init), KAVO_SUCCESS);
    KavoExecuteParams bad = params;
    bad.color = wrong.resource;
    EXPECT_NE(kavoD3D12Execute(context, list.Get(), &bad), KAVO_SUCCESS) << "wrong colour format";
    bad = params;
    bad.velocity = nullptr;
    EXPECT_NE(kavoD3D12Execute(context, list.Get(), &bad), KAVO_SUCCESS) << "no velocity";
    bad = params;
    bad.output = color.resource;
    EXPECT_NE(kavoD3D12Execute(context, list.Get(), &bad), KAVO_SUCCESS) << "output of another size";
    init.flags = 0;
    ASSERT_EQ(kavoD3D12Init(context, &init), KAVO_SUCCESS);
    EXPECT_NE(kavoD3D12Execute(context, list.Get(), &params), KAVO_SUCCESS) << "depth promised, none given";
    Submit();  // nothing was recorded by the failed calls
}
