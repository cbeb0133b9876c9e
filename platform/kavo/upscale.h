#pragma once

// The reference upscaler's per-frame algorithm on CPU image views, apart from
// any device: what the library's kernels run.
#include <cstdint>
#include <vector>

#include "platform/kavo/frame_buffer.h"
#include "platform/kavo/image.h"

namespace kavo {

enum class Model : uint32_t { kKpss = 0, kSplat = 1 };

// What the caller asked for at initialisation and per frame.
struct FrameSettings {
    Model model = Model::kKpss;
    uint32_t input_width = 0, input_height = 0;  // the colour region
    uint32_t color_base_x = 0, color_base_y = 0;
    uint32_t velocity_base_x = 0, velocity_base_y = 0;
    uint32_t depth_base_x = 0, depth_base_y = 0;
    float jitter_x = 0, jitter_y = 0;  // in input pixels, scaled
    float previous_jitter_x = 0, previous_jitter_y = 0;
    float velocity_scale_x = 1, velocity_scale_y = 1;
    float exposure = 1;  // from the texture or the scale
    bool reset = false;
    bool has_depth = false;
    bool inverted_depth = false;
    bool velocity_ndc = false;  // motion vectors in normalised device coordinates
    bool ldr = false;
    bool jittered_motion = false;
};

struct FrameInputs {
    ImageView<const Half4> color;
    ImageView<const Half2> velocity;
    ImageView<const float> depth;              // empty without depth
    ImageView<const uint8_t> responsive_mask;  // empty without a mask
};

// What a frame reads of the last one and leaves for the next. The history
// and the depth are kept twice: a frame reads the last frame's while it
// writes its own, and the last frame's stays for its dump.
struct FrameState {
    // Output resolution.
    // Tone-mapped colour, accumulated weight in alpha, in half precision as
    // a GPU keeps it: every value lies in [0, 1] or, the weight, in [0, 12].
    ImageView<const Half4> history_before;
    ImageView<Half4> history;  // the same, this frame's
    // Input resolution.
    ImageView<Float2> motion;             // dilated motion, input pixels
    ImageView<const float> depth_before;  // the last frame's depth, for telling disocclusions
    ImageView<float> depth;               // this frame's, from the base offset on
    // How far the shading seemed to change at each input pixel in the last
    // two frames (x the last, y the one before), and the same for this frame.
    ImageView<const Float2> shading_before;
    ImageView<Float2> shading;
};

// The intermediates the library offers for dumping, made from what a frame
// left only when a dump asks for them.
struct DumpViews {
    // Output resolution.
    ImageView<Half4> history;                // the history in half precision
    ImageView<Float4> reprojected_history;   // history moved by the motion, before rectification
    ImageView<float> reconstruction_weight;  // weight of this frame's samples per output pixel
    ImageView<uint32_t> history_packed;      // the history colour as R11G11B10
    ImageView<Float4> splat_accumulation;    // splat model only: weighted colour sum, weight sum
    // Input resolution.
    ImageView<Half2> motion;          // dilated motion, input pixels
    ImageView<Float2> motion_output;  // dilated motion, output pixels
    ImageView<Imath::half> luminance;
};

// The passes' memory on the host. The tone-mapped colour is kept between
// frames, as the dumps read it. The rest is made by each frame and given
// back when it is done: kept, it would lie idle beside the full queue of
// frames a caller loads between frames, while during a frame it takes the
// place of the frame's own pixels, which the caller has uploaded and freed.
struct Scratch {
    // Tone-mapped input colour at input resolution, in half precision as
    // the input is: its values lie in [0, 1) (or are the input's own, for
    // LDR colour), where a half's rounding is far below any visible step.
    std::vector<Half4> color;
    // Four planes at input resolution for the shading change, some reused
    // as the frame goes on: kColorLuminance holds the colour's luminance;
    // kShadingChange first the mean luminance of the colour's wide
    // neighbourhoods, which the change then replaces; kRelight first the
    // history's wide means, then the colour's narrow ones, then their ratio
    // to the history's; and kNarrowHistory the history's luminance, then its
    // narrow means. The blend reads kShadingChange and kRelight only.
    enum Plane { kShadingChange, kRelight, kNarrowHistory, kColorLuminance, kPlanes };
    FrameBuffer<float> shading[kPlanes];
    // The last frame's history as the coefficients of the quintic B-spline
    // through its pixels, from which it is resampled.
    FrameBuffer<Half4> history_spline;

    void ReleaseFrameBuffers() {
        for (FrameBuffer<float>& plane : shading) plane.Release();
        history_spline.Release();
    }
};

// Runs one frame: writes the frame's state and the output image.
void UpscaleFrame(const FrameSettings& settings, const FrameInputs& inputs, const FrameState& state, Scratch& scratch,
                  const ImageView<Half4>& output);

// Makes the dump intermediates of the frame that left `state` and `scratch`,
// bit for bit what the frame computed on its way.
void MakeDumpViews(const FrameSettings& settings, const FrameState& state, Scratch& scratch, const DumpViews& dump);

}  // namespace kavo
