#pragma once

// Feature buffers the library keeps for inspection only: what a network model
// would consume. They exist to be dumped as tensors.
#include <cstdint>

#include "platform/kavo/image.h"
#include "platform/kavo/upscale.h"

namespace kavo {

inline constexpr uint32_t kClipBoxTile = 4;     // input pixels per clip box
inline constexpr uint32_t kClipBoxPadding = 1;  // zero border around the clip boxes
inline constexpr uint32_t kFeatureTile = 8;     // input pixels per feature cell
inline constexpr uint32_t kPackedFeatureChannels = 32;
inline constexpr uint32_t kSampleCountChannels = 2;

struct FeatureViews {
    ImageView<float> luminance_pyramid[2];  // slice 0: mean luminance of 2x2, slice 1: its variance
    ImageView<Int4> clip_boxes[2];          // slice 0: low colour x 1000, slice 1: high colour x 1000
    uint8_t* packed_features = nullptr;     // 2 slices of cells x 16 signed bytes
    int32_t* sample_counts = nullptr;       // 2 slices of cells
    uint32_t cells_x = 0, cells_y = 0;
};

void ComputeFeatures(const FrameSettings& settings, const Scratch& scratch, const DumpViews& work,
                     const FeatureViews& features);

}  // namespace kavo
