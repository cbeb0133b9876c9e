#pragma once

#include <atomic>
#include <string>

#include "platform/d3d12/d3d12_api.h"

namespace softgpu {

// Reference counting, QueryInterface and the debug name for one COM class.
// `Base` is a generated stub (or a DXGI interface) that answers
// Implements(iid) for the interfaces it derives from.
template <class Base>
class ComObject : public Base {
public:
    virtual ~ComObject() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        void* found = Implements(iid) ? static_cast<Base*>(this) : ExtraInterface(iid);
        if (found == nullptr) return E_NOINTERFACE;
        this->AddRef();
        *object = found;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    const std::wstring& DebugName() const { return debug_name_; }

protected:
    // Whether `iid` names Base or one of the interfaces it derives from. The
    // generated stubs know their chain; hand-written classes override this.
    virtual bool Implements(REFIID iid) const {
        if constexpr (requires { Base::Implements(iid); }) {
            return Base::Implements(iid);
        } else {
            return false;
        }
    }
    // Interfaces beyond Base's chain; the pointer returned must be this object.
    virtual void* ExtraInterface(REFIID) { return nullptr; }
    void SetDebugName(LPCWSTR name) { debug_name_ = name != nullptr ? name : L""; }

private:
    std::atomic<ULONG> references_{1};
    std::wstring debug_name_;
};

// ComObject for D3D12 objects, which also carry SetName.
template <class Stub>
class D3D12Object : public ComObject<Stub> {
public:
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR name) override {
        this->SetDebugName(name);
        return S_OK;
    }
};

// Text of a debug name for messages (names are ASCII in practice).
inline std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += static_cast<char>(c >= 0 && c < 128 ? c : '?');
    return narrow;
}

}  // namespace softgpu
