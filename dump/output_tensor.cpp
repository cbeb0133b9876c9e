#include <stdexcept>

#include "dump/half.h"
#include "dump/output_tensor.h"
#include "dump/tensor_dump.h"

void DumpTexture_RGBA_FP16_AsTensor(const Orfa::Downloader<Orfa::Texture2D>& output, const std::string& name,
                                    const DumpRequest& request) {
    const D3D12_RESOURCE_DESC desc = output.texture.resource->GetDesc();
    if (desc.Format != DXGI_FORMAT_R16G16B16A16_FLOAT) {
        throw std::runtime_error("DumpTexture_RGBA_FP16_AsTensor accepts resources in RGBA FP16 format only.");
    }
    Tensor<double> tensor(4, desc.Height, desc.Width);
    const uint64_t pixels = tensor.width * tensor.height;
    if (output.data.empty() || output.data[0].size() * 4 != pixels * 8) {
        throw std::runtime_error("Resource Dump: size mismatch for " + name);
    }
    const auto* halves = reinterpret_cast<const uint16_t*>(output.data[0].data());
    std::vector<float> floats(static_cast<size_t>(pixels * 4));
    HalfToFloat(std::span(halves, floats.size()), 1, floats, 1);
    for (size_t i = 0; i < floats.size(); ++i) tensor.values[i] = floats[i];  // the same channel-last order
    DumpTensorAsFp64(tensor, 0, 0, request, name);
}
