#pragma once

// The upscaler library's nine functions and the records exchanged with it.
// Both the tool and the library include this header; the records' layouts are
// part of the library's binary interface and checked at compile time below.
#include <cstddef>
#include <cstdint>

#include "sdk/d3d12_headers.h"

#if defined(_WIN32)
#define KAVO_API extern "C" __declspec(dllimport)
#elif defined(KAVO_BUILDING_LIBRARY)
#define KAVO_API extern "C" __attribute__((visibility("default")))
#else
#define KAVO_API extern "C"
#endif

typedef struct KavoContext_T* KavoContext;
typedef int32_t KavoResult;

inline constexpr KavoResult KAVO_SUCCESS = 0;

// Init flags.
enum : uint32_t {
    KAVO_INIT_FLAG_NO_DEPTH = 1,
    KAVO_INIT_FLAG_INVERTED_DEPTH = 2,
    KAVO_INIT_FLAG_EXPOSURE_TEXTURE = 4,
    KAVO_INIT_FLAG_RESPONSIVE_MASK = 8,
    KAVO_INIT_FLAG_VELOCITY_NDC = 16,
    KAVO_INIT_FLAG_LDR_INPUT_COLOR = 64,
    KAVO_INIT_FLAG_JITTERED_MV = 128,
};

// Network model numbers.
enum : uint32_t {
    KAVO_MODEL_KPSS = 0,
    KAVO_MODEL_SPLAT = 1,
};

struct KavoInitParams {
    uint32_t output_width;
    uint32_t output_height;
    uint32_t quality;
    uint32_t flags;
    uint32_t reserved[12];
};

struct KavoUint2 {
    uint32_t x;
    uint32_t y;
};

struct KavoExecuteParams {
    ID3D12Resource* color;
    ID3D12Resource* velocity;
    ID3D12Resource* depth;
    ID3D12Resource* exposure;
    ID3D12Resource* responsive_mask;
    ID3D12Resource* output;
    float jitter_x;
    float jitter_y;
    float exposure_scale;
    uint32_t reset;
    uint32_t input_width;
    uint32_t input_height;
    KavoUint2 color_base;
    KavoUint2 velocity_base;
    KavoUint2 depth_base;
    uint64_t reserved[5];
};

// What kavoGetProperties reports about a context.
struct KavoProperties {
    uint32_t version;
    uint32_t model;
    uint32_t output_width;
    uint32_t output_height;
    uint32_t dump_resource_count;
    uint32_t reserved[11];
};

// The library's list of resources marked for dumping; it owns every array.
struct ResourceDumpList {
    uint32_t count;
    ID3D12Resource* const* resources;
    const char* const* names;
    const uint32_t* as_tensor;
    const uint32_t* padding;
    const uint32_t* buffer_channels;
    const uint32_t* buffer_width;
    const uint32_t* buffer_height;
};

static_assert(sizeof(KavoInitParams) == 64);
static_assert(offsetof(KavoInitParams, flags) == 12);
static_assert(sizeof(KavoExecuteParams) == 136);
static_assert(offsetof(KavoExecuteParams, output) == 40);
static_assert(offsetof(KavoExecuteParams, jitter_x) == 48);
static_assert(offsetof(KavoExecuteParams, reset) == 60);
static_assert(offsetof(KavoExecuteParams, input_width) == 64);
static_assert(offsetof(KavoExecuteParams, color_base) == 72);
static_assert(offsetof(KavoExecuteParams, velocity_base) == 80);
static_assert(offsetof(KavoExecuteParams, depth_base) == 88);
static_assert(offsetof(KavoExecuteParams, reserved) == 96);

KAVO_API KavoResult kavoD3D12CreateContext(ID3D12Device* device, KavoContext* context);
KAVO_API KavoResult kavoSelectNetworkModel(KavoContext context, uint32_t model);
KAVO_API KavoResult kavoGetProperties(KavoContext context, uint32_t* output_resolution, KavoProperties* properties);
KAVO_API KavoResult kavoD3D12Init(KavoContext context, const KavoInitParams* params);
KAVO_API KavoResult kavoSetJitterScale(KavoContext context, float x, float y);
KAVO_API KavoResult kavoSetVelocityScale(KavoContext context, float x, float y);
KAVO_API KavoResult kavoD3D12Execute(KavoContext context, ID3D12GraphicsCommandList* command_list,
                                     const KavoExecuteParams* params);
KAVO_API KavoResult kavoD3D12GetResourcesToDump(KavoContext context, const ResourceDumpList** list);
KAVO_API KavoResult kavoDestroyContext(KavoContext context);
