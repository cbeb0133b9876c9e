#pragma once

#include <string>
#include <vector>

#include "platform/d3d12/com_object.h"

namespace softgpu {

// One adapter the device pretends the machine has.
struct AdapterInfo {
    enum class Kind { kHardware, kSoftware, kOld };
    Kind kind = Kind::kHardware;
    std::u16string description;
    UINT vendor_id = 0, device_id = 0, subsys_id = 0, revision = 0;
    LUID luid{};
    D3D_FEATURE_LEVEL max_level = D3D_FEATURE_LEVEL_12_1;
};

// The adapters in system order, from SOFTGPU_ADAPTERS: ';'-separated
// "kind:description" entries, kind hw, sw or old. Unset: one hardware
// adapter. Set but empty: none.
std::vector<AdapterInfo> MachineAdapters();

// The adapter D3D12CreateDevice picks when given none: the first hardware one.
const AdapterInfo* DefaultAdapter();

class Adapter final : public ComObject<IDXGIAdapter1> {
public:
    explicit Adapter(AdapterInfo info) : info_(std::move(info)) {}

    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetParent(REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumOutputs(UINT, IDXGIOutput**) override { return DXGI_ERROR_NOT_FOUND; }
    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_ADAPTER_DESC* desc) override;
    HRESULT STDMETHODCALLTYPE CheckInterfaceSupport(REFGUID, LARGE_INTEGER*) override { return DXGI_ERROR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_ADAPTER_DESC1* desc) override;

    const AdapterInfo& Info() const { return info_; }

protected:
    bool Implements(REFIID iid) const override;
    void* ExtraInterface(REFIID iid) override;

private:
    AdapterInfo info_;
};

}  // namespace softgpu
