#pragma once

// What the context's kernels share between the frame's passes and the dumps:
// views of the surfaces a kernel is given, and where the frame state lies
// among them.
#include <span>

#include "platform/kavo/context.h"

namespace kavo {

template <class Pixel>
inline ImageView<Pixel> ViewOf(const SoftGpuSurface& surface, uint32_t subresource = 0) {
    const D3D12_PLACED_SUBRESOURCE_FOOTPRINT& layout = surface.layouts[subresource];
    return {surface.data + layout.Offset, layout.Footprint.RowPitch, layout.Footprint.Width, layout.Footprint.Height};
}

// Where a kernel finds the frame state among its surfaces.
struct Context::StateUses {
    int history_before = -1, history = -1, motion = -1, depth_before = -1, depth = -1, shading_before = -1,
        shading = -1;

    FrameState Views(std::span<const SoftGpuSurface> surfaces) const {
        FrameState state;
        state.history_before = ViewOf<const Half4>(surfaces[history_before]);
        state.history = ViewOf<Half4>(surfaces[history]);
        state.motion = ViewOf<Float2>(surfaces[motion]);
        state.depth_before = ViewOf<const float>(surfaces[depth_before]);
        state.depth = ViewOf<float>(surfaces[depth]);
        state.shading_before = ViewOf<const Float2>(surfaces[shading_before]);
        state.shading = ViewOf<Float2>(surfaces[shading]);
        return state;
    }
};

// The frame state's resources as a kernel's uses; the last recorded frame's
// are current_. `access` is how the kernel uses what the frame writes.
template <class Use>
Context::StateUses Context::UseState(Use use, D3D12_RESOURCE_STATES state) {
    StateUses uses;
    uses.history_before = use(history_[current_ ^ 1u].Get(), state);
    uses.history = use(history_[current_].Get(), state);
    uses.motion = use(motion_.Get(), state);
    uses.depth_before = use(depth_[current_ ^ 1u].Get(), state);
    uses.depth = use(depth_[current_].Get(), state);
    uses.shading_before = use(shading_[current_ ^ 1u].Get(), state);
    uses.shading = use(shading_[current_].Get(), state);
    return uses;
}

}  // namespace kavo
