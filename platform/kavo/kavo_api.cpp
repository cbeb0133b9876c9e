// The library's nine functions: argument checks, then the context's work.
// Every misuse returns a non-zero result; nothing here may crash the caller.
#include <new>

#include "platform/kavo/context.h"

struct KavoContext_T {
    explicit KavoContext_T(kavo::ComPtr<ID3D12Device> device) : context(std::move(device)) {}
    kavo::Context context;
};

namespace {

template <class Call>
KavoResult Guarded(Call call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return kavo::kOutOfMemory;
    } catch (...) {
        return kavo::kInvalidArgument;
    }
}

}  // namespace

KAVO_API KavoResult kavoD3D12CreateContext(ID3D12Device* device, KavoContext* context) {
    if (device == nullptr || context == nullptr) return kavo::kInvalidArgument;
    // The kernels run on the software device only.
    kavo::ComPtr<ISoftGpuDevice> own;
    if (FAILED(device->QueryInterface(IID_PPV_ARGS(&own)))) return kavo::kUnsupportedDevice;
    return Guarded([&] {
        *context = new KavoContext_T(device);
        return KAVO_SUCCESS;
    });
}

KAVO_API KavoResult kavoSelectNetworkModel(KavoContext context, uint32_t model) {
    if (context == nullptr) return kavo::kInvalidArgument;
    return Guarded([&] { return context->context.SelectModel(model); });
}

KAVO_API KavoResult kavoGetProperties(KavoContext context, uint32_t*, KavoProperties* properties) {
    if (context == nullptr || properties == nullptr) return kavo::kInvalidArgument;
    *properties = context->context.Properties();
    return KAVO_SUCCESS;
}

KAVO_API KavoResult kavoD3D12Init(KavoContext context, const KavoInitParams* params) {
    if (context == nullptr || params == nullptr) return kavo::kInvalidArgument;
    return Guarded([&] { return context->context.Init(*params); });
}

KAVO_API KavoResult kavoSetJitterScale(KavoContext context, float x, float y) {
    if (context == nullptr) return kavo::kInvalidArgument;
    context->context.SetJitterScale(x, y);
    return KAVO_SUCCESS;
}

KAVO_API KavoResult kavoSetVelocityScale(KavoContext context, float x, float y) {
    if (context == nullptr) return kavo::kInvalidArgument;
    context->context.SetVelocityScale(x, y);
    return KAVO_SUCCESS;
}

KAVO_API KavoResult kavoD3D12Execute(KavoContext context, ID3D12GraphicsCommandList* command_list,
                                     const KavoExecuteParams* params) {
    if (context == nullptr || command_list == nullptr || params == nullptr) return kavo::kInvalidArgument;
    return Guarded([&] { return context->context.Execute(command_list, *params); });
}

KAVO_API KavoResult kavoD3D12GetResourcesToDump(KavoContext context, const ResourceDumpList** list) {
    if (context == nullptr || list == nullptr) return kavo::kInvalidArgument;
    return Guarded([&] { return context->context.DumpList(list); });
}

KAVO_API KavoResult kavoDestroyContext(KavoContext context) {
    // Like free(nullptr): destroying no context is not an error.
    delete context;
    return KAVO_SUCCESS;
}
