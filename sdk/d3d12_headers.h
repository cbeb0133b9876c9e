#pragma once

// The one place where the tool picks its Direct3D 12 and DXGI headers: the
// Windows SDK's on Windows, DirectX-Headers with the software device's DXGI
// declarations elsewhere. Everything else of the tool includes this file.
#ifdef _WIN32
#include <d3d12.h>
#include <dxgi1_6.h>
#include <wrl/client.h>
#else
#include "platform/d3d12/d3d12_api.h"
#endif

template <class T>
using ComPtr = Microsoft::WRL::ComPtr<T>;
