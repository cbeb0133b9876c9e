// DXGI of the software device: the factory and the adapters it enumerates.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/d3d12/adapters.h"
#include "platform/d3d12/objects.h"

namespace softgpu {

namespace {

// Decodes UTF-8 into UTF-16 code units, as Windows stores adapter names.
std::u16string Utf16FromUtf8(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        char32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (int k = 1; k < length && i + k < text.size(); ++k) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += length;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

AdapterInfo MakeAdapter(AdapterInfo::Kind kind, const std::string& description, UINT position) {
    AdapterInfo info;
    info.kind = kind;
    info.description = Utf16FromUtf8(description);
    // Fixed per position, so that listings are reproducible.
    info.vendor_id = 0xCAFE;
    info.device_id = 0x1000 + position;
    info.subsys_id = 0x00010000 + position;
    info.revision = 1 + position;
    info.luid = {0x2000 + position, 0};
    info.max_level = kind == AdapterInfo::Kind::kOld ? D3D_FEATURE_LEVEL_11_0 : D3D_FEATURE_LEVEL_12_1;
    return info;
}

bool ParseKind(const std::string& text, AdapterInfo::Kind& kind) {
    if (text == "hw")
        kind = AdapterInfo::Kind::kHardware;
    else if (text == "sw")
        kind = AdapterInfo::Kind::kSoftware;
    else if (text == "old")
        kind = AdapterInfo::Kind::kOld;
    else
        return false;
    return true;
}

int PerformanceRank(AdapterInfo::Kind kind) {
    switch (kind) {
        case AdapterInfo::Kind::kHardware:
            return 0;
        case AdapterInfo::Kind::kOld:
            return 1;
        case AdapterInfo::Kind::kSoftware:
            return 2;
    }
    return 3;
}

template <class Info>
void FillDesc(const AdapterInfo& info, Info& desc) {
    desc = {};
    const size_t length = std::min<size_t>(info.description.size(), 127);
    for (size_t i = 0; i < length; ++i) desc.Description[i] = static_cast<WCHAR>(info.description[i]);
    desc.VendorId = info.vendor_id;
    desc.DeviceId = info.device_id;
    desc.SubSysId = info.subsys_id;
    desc.Revision = info.revision;
    desc.DedicatedVideoMemory = SIZE_T{1} << 30;
    desc.AdapterLuid = info.luid;
}

}  // namespace

std::vector<AdapterInfo> MachineAdapters() {
    const char* setting = std::getenv("SOFTGPU_ADAPTERS");
    if (setting == nullptr) return {MakeAdapter(AdapterInfo::Kind::kHardware, "Soft GPU Adapter", 0)};
    std::vector<AdapterInfo> adapters;
    std::string text = setting;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        const std::string entry = text.substr(start, end - start);
        start = end + 1;
        const size_t colon = entry.find(':');
        AdapterInfo::Kind kind;
        if (colon == std::string::npos || !ParseKind(entry.substr(0, colon), kind)) {
            if (!entry.empty()) std::fprintf(stderr, "softgpu: ignoring adapter entry \"%s\"\n", entry.c_str());
            continue;
        }
        adapters.push_back(MakeAdapter(kind, entry.substr(colon + 1), static_cast<UINT>(adapters.size())));
    }
    return adapters;
}

const AdapterInfo* DefaultAdapter() {
    static const std::vector<AdapterInfo> adapters = MachineAdapters();
    for (const AdapterInfo& info : adapters) {
        if (info.kind == AdapterInfo::Kind::kHardware) return &info;
    }
    return nullptr;
}

bool Adapter::Implements(REFIID iid) const {
    return SameIid(iid, __uuidof(IUnknown)) || SameIid(iid, __uuidof(IDXGIObject)) ||
           SameIid(iid, __uuidof(IDXGIAdapter)) || SameIid(iid, __uuidof(IDXGIAdapter1));
}

void* Adapter::ExtraInterface(REFIID iid) { return SameIid(iid, kAdapterImplIid) ? this : nullptr; }

HRESULT Adapter::GetDesc(DXGI_ADAPTER_DESC* desc) {
    if (desc == nullptr) return E_INVALIDARG;
    FillDesc(info_, *desc);
    return S_OK;
}

HRESULT Adapter::GetDesc1(DXGI_ADAPTER_DESC1* desc) {
    if (desc == nullptr) return E_INVALIDARG;
    FillDesc(info_, *desc);
    desc->Flags = info_.kind == AdapterInfo::Kind::kSoftware ? DXGI_ADAPTER_FLAG_SOFTWARE : DXGI_ADAPTER_FLAG_NONE;
    return S_OK;
}

namespace {

class Factory final : public ComObject<IDXGIFactory6> {
public:
    Factory() : adapters_(MachineAdapters()) {
        for (UINT i = 0; i < adapters_.size(); ++i) performance_order_.push_back(i);
        std::stable_sort(performance_order_.begin(), performance_order_.end(), [this](UINT a, UINT b) {
            return PerformanceRank(adapters_[a].kind) < PerformanceRank(adapters_[b].kind);
        });
    }

    bool Implements(REFIID iid) const override {
        for (const IID& own : {__uuidof(IUnknown), __uuidof(IDXGIObject), __uuidof(IDXGIFactory),
                               __uuidof(IDXGIFactory1), __uuidof(IDXGIFactory2), __uuidof(IDXGIFactory3),
                               __uuidof(IDXGIFactory4), __uuidof(IDXGIFactory5), __uuidof(IDXGIFactory6)}) {
            if (softgpu::SameIid(own, iid)) return true;
        }
        return false;
    }

    HRESULT STDMETHODCALLTYPE EnumAdapters(UINT index, IDXGIAdapter** adapter) override {
        return Enumerate(index, __uuidof(IDXGIAdapter), reinterpret_cast<void**>(adapter));
    }
    HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT index, IDXGIAdapter1** adapter) override {
        return Enumerate(index, __uuidof(IDXGIAdapter1), reinterpret_cast<void**>(adapter));
    }
    HRESULT STDMETHODCALLTYPE EnumAdapterByGpuPreference(UINT index, DXGI_GPU_PREFERENCE preference, REFIID riid,
                                                         void** adapter) override {
        if (preference != DXGI_GPU_PREFERENCE_HIGH_PERFORMANCE) return Enumerate(index, riid, adapter);
        if (adapter == nullptr) return E_INVALIDARG;
        *adapter = nullptr;
        if (index >= performance_order_.size()) return DXGI_ERROR_NOT_FOUND;
        return Hand(new Adapter(adapters_[performance_order_[index]]), riid, adapter);
    }

    // Everything below is DXGI that nothing here uses.
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetParent(REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MakeWindowAssociation(HWND, UINT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetWindowAssociation(HWND*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateSwapChain(IUnknown*, DXGI_SWAP_CHAIN_DESC*, IDXGISwapChain**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateSoftwareAdapter(HMODULE, IDXGIAdapter**) override { return E_NOTIMPL; }
    BOOL STDMETHODCALLTYPE IsCurrent() override { return TRUE; }
    BOOL STDMETHODCALLTYPE IsWindowedStereoEnabled() override { return FALSE; }
    HRESULT STDMETHODCALLTYPE CreateSwapChainForHwnd(IUnknown*, HWND, const DXGI_SWAP_CHAIN_DESC1*,
                                                     const DXGI_SWAP_CHAIN_FULLSCREEN_DESC*, IDXGIOutput*,
                                                     IDXGISwapChain1**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateSwapChainForCoreWindow(IUnknown*, IUnknown*, const DXGI_SWAP_CHAIN_DESC1*,
                                                           IDXGIOutput*, IDXGISwapChain1**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSharedResourceAdapterLuid(HANDLE, LUID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterStereoStatusWindow(HWND, UINT, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterStereoStatusEvent(HANDLE, DWORD*) override { return E_NOTIMPL; }
    void STDMETHODCALLTYPE UnregisterStereoStatus(DWORD) override {}
    HRESULT STDMETHODCALLTYPE RegisterOcclusionStatusWindow(HWND, UINT, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterOcclusionStatusEvent(HANDLE, DWORD*) override { return E_NOTIMPL; }
    void STDMETHODCALLTYPE UnregisterOcclusionStatus(DWORD) override {}
    HRESULT STDMETHODCALLTYPE CreateSwapChainForComposition(IUnknown*, const DXGI_SWAP_CHAIN_DESC1*, IDXGIOutput*,
                                                            IDXGISwapChain1**) override {
        return E_NOTIMPL;
    }
    UINT STDMETHODCALLTYPE GetCreationFlags() override { return 0; }
    HRESULT STDMETHODCALLTYPE EnumAdapterByLuid(LUID, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumWarpAdapter(REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CheckFeatureSupport(DXGI_FEATURE, void*, UINT) override { return E_NOTIMPL; }

private:
    HRESULT Enumerate(UINT index, REFIID riid, void** adapter) {
        if (adapter == nullptr) return E_INVALIDARG;
        *adapter = nullptr;
        if (index >= adapters_.size()) return DXGI_ERROR_NOT_FOUND;
        return Hand(new Adapter(adapters_[index]), riid, adapter);
    }

    std::vector<AdapterInfo> adapters_;
    std::vector<UINT> performance_order_;
};

}  // namespace

}  // namespace softgpu

extern "C" __attribute__((visibility("default"))) HRESULT WINAPI CreateDXGIFactory2(UINT, REFIID riid, void** factory) {
    if (factory == nullptr) return E_INVALIDARG;
    *factory = nullptr;
    return softgpu::Hand(new softgpu::Factory(), riid, factory);
}
