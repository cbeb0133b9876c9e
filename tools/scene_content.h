#pragma once

// The synthetic world that scenegen renders: a panning, finely detailed
// background and textured discs moving at their own speeds and depths.
#include <array>
#include <cstdint>
#include <vector>

namespace scenegen {

struct Disc {
    float x0, y0;  // centre at frame 0, input pixels
    float vx, vy;  // screen motion per frame, input pixels
    float radius;
    float depth;  // reversed-Z: larger is nearer
    float stripe_period;
    float stripe_angle;
    std::array<float, 3> color;
};

// What a scene shows. The default mixes everything; each other kind isolates
// one case that temporal upscalers find hard.
enum class SceneKind {
    kDefault,       // moving textured discs over a panning, finely detailed background
    kStatic,        // textured discs over a background like a photograph, standing still
    kSlowPan,       // that background alone, panning by a third of a pixel per frame
    kFastPan,       // that background alone, panning by almost four pixels per frame
    kDisocclusion,  // a spinning disc moving over a still background, uncovering it
    kHdr,           // highlights of up to a few hundred over a slowly panning background
    kThinLines,     // lines thinner than an input pixel and a zone plate, standing still
    kMovingShadow,  // a shadow moving over a still background: shading changes, motion is zero
    kPhotoPan,      // content like a photograph, panning by 0.4 input pixels a frame: for long runs
    kPhotoZoom,     // the same content, zooming in by 0.3% a frame: motion that grows from the centre
    kPhotoObject,   // a textured object swinging in front of that content, uncovering it
};

struct SceneKindName {
    SceneKind kind;
    const char* name;
};
inline constexpr SceneKindName kSceneKinds[] = {
    {SceneKind::kDefault, "default"},           {SceneKind::kStatic, "static"},
    {SceneKind::kSlowPan, "slow-pan"},          {SceneKind::kFastPan, "fast-pan"},
    {SceneKind::kDisocclusion, "disocclusion"}, {SceneKind::kHdr, "hdr"},
    {SceneKind::kThinLines, "thin-lines"},      {SceneKind::kMovingShadow, "moving-shadow"},
    {SceneKind::kPhotoPan, "photo-pan"},        {SceneKind::kPhotoZoom, "photo-zoom"},
    {SceneKind::kPhotoObject, "photo-object"},
};

struct World {
    SceneKind kind = SceneKind::kDefault;
    float width = 0, height = 0;         // the input resolution, in input pixels
    float camera_vx = 0, camera_vy = 0;  // background motion per frame (the camera pan)
    std::vector<Disc> discs;
    float spin = 0;  // the first disc's rotation per frame, radians (disocclusion)
    // The shadow of the moving-shadow kind: centre at frame 0, motion per frame, radius.
    float shadow_x0 = 0, shadow_y0 = 0, shadow_vx = 0, shadow_vy = 0, shadow_radius = 0;
    float zoom = 1;  // the zoom kind's magnification per frame, about the screen's centre
};

// A rectangle in input pixels, [x0, x1) x [y0, y1).
struct Region {
    float x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool Empty() const { return x1 <= x0 || y1 <= y0; }
};

// What one point of the screen shows at a frame.
struct Hit {
    std::array<float, 3> color;
    float depth;
    float motion_x, motion_y;  // where the surface moved since the previous frame, input pixels
    int disc;                  // -1 for the background
};

// Builds the world of a kind from a seed; speed scales every motion.
World MakeWorld(uint32_t width, uint32_t height, float speed, uint64_t seed, SceneKind kind = SceneKind::kDefault);

// Where something moves or changes at `frame` and where it was the frame
// before: the region whose quality tells ghosting and lag. Empty for kinds
// without one object that moves.
Region ChangingRegion(const World& world, uint32_t frame);

// The surface at screen position (x, y) in input pixels at frame `frame`.
Hit Shade(const World& world, float x, float y, uint32_t frame);

// The jitter of a frame: Halton (2, 3), centred on zero, in input pixels.
std::array<float, 2> Jitter(uint32_t frame);

}  // namespace scenegen
