#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <ImfArray.h>
#include <ImfCompression.h>

#include "dump/dump_request.h"
#include "scene/exr_image.h"
#include "sdk/d3d12_headers.h"
#include "sdk/kavo_api.h"

// One listed resource as read back: its descriptor and the packed bytes of
// each subresource (rows of row_sizes bytes, no row pitch).
struct CollectedResource {
    D3D12_RESOURCE_DESC desc{};
    std::vector<std::span<const uint8_t>> subresources;
};

// What every writer of one frame's dump shares; all of it is read-only.
struct DumpBatch {
    const ResourceDumpList& list;
    const std::vector<std::string>& include;
    const std::vector<std::string>& exclude;
    const std::vector<CollectedResource>& resources;
    const DumpRequest& request;
};

// Filters, unpacks and writes resource `index` of the batch.
void DumpOneResource(const DumpBatch& batch, uint32_t index);

struct FloatPixel {
    float r, g, b, a;
};

// Writes four 32-bit float channels R, G, B, A with the tool's attributes.
void WriteDumpExr(const std::string& path, const ExrImageInfo& info, const Imf::Array2D<FloatPixel>& pixels,
                  Imf::Compression compression);

// Unpacks DXGI's R11G11B10_FLOAT word into three half bit patterns.
void UnpackR11G11B10(uint32_t packed, uint16_t halves[3]);
