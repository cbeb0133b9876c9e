#pragma once

// Direct3D 12 and DXGI as the software device provides them on this machine:
// DirectX-Headers' own d3d12.h and COM stubs, its IIDs for __uuidof, and our
// declarations of the few DXGI interfaces (dxgi_api.h).
// The order of these declarations matters (the COM stubs come first), and the
// interface declarations follow the SDK headers' layout: not reformatted.
// clang-format off
#include <wsl/winadapter.h>
#include <directx/d3d12.h>
#include <directx/dxgiformat.h>
#include <dxguids/dxguids.h>
#include <wrl/client.h>

#include "platform/d3d12/dxgi_api.h"

#include <cstring>

namespace softgpu {

// Compares interface ids byte for byte. The COM stubs' operator== reads GUIDs
// through uint32_t pointers, which breaks strict aliasing and is miscompiled
// at -O2, so the device never uses it.
inline bool SameIid(REFIID a, REFIID b) { return std::memcmp(&a, &b, sizeof(IID)) == 0; }

}  // namespace softgpu
// clang-format on
