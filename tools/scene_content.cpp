#include "tools/scene_content.h"

#include <algorithm>
#include <cmath>

namespace scenegen {

namespace {

constexpr float kPi = 3.14159265f;

// A small, portable generator: the same seed gives the same world everywhere.
struct SplitMix64 {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    float Uniform(float low, float high) {
        return low + (high - low) * static_cast<float>(Next() >> 40) / static_cast<float>(1ull << 24);
    }
};

float Halton(uint32_t index, uint32_t base) {
    float result = 0, fraction = 1;
    while (index > 0) {
        fraction /= static_cast<float>(base);
        result += fraction * static_cast<float>(index % base);
        index /= base;
    }
    return result;
}

// Integer hash of a cell, for the background's scattered small squares.
uint32_t Hash(int32_t x, int32_t y) {
    uint32_t h = static_cast<uint32_t>(x) * 374761393u + static_cast<uint32_t>(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

// Detail finer than an input pixel but coarser than an output pixel: what a
// temporal upscaler can recover and a spatial one cannot.
std::array<float, 3> Background(float u, float v) {
    float r = 0.18f + 0.08f * std::sin(u * 0.031f), g = 0.2f + 0.06f * std::sin(v * 0.043f), b = 0.24f;
    // Thin bright grid lines, 0.6 input pixels wide, every 9 pixels.
    const float line_x = std::fabs(u - 9.0f * std::floor(u / 9.0f + 0.5f));
    const float line_y = std::fabs(v - 9.0f * std::floor(v / 9.0f + 0.5f));
    if (line_x < 0.3f || line_y < 0.3f) {
        r = 1.4f, g = 1.2f, b = 0.9f;
    }
    // A fine grating in bands: 1.7 input pixels per period.
    if (std::fmod(std::floor(v / 40.0f), 2.0f) == 0.0f) {
        const float grating = 0.5f + 0.5f * std::sin(2.0f * kPi * u / 1.7f);
        g += 0.35f * grating;
    }
    // Scattered squares of 0.7 input pixels.
    const auto cx = static_cast<int32_t>(std::floor(u / 0.7f)), cy = static_cast<int32_t>(std::floor(v / 0.7f));
    if (Hash(cx, cy) % 23 == 0) {
        r += 0.6f;
        b += 0.4f;
    }
    return {r, g, b};
}

// Smooth noise between 0 and 1 with features about one lattice cell wide.
float ValueNoise(float u, float v, int32_t seed) {
    const float fu = std::floor(u), fv = std::floor(v);
    const auto x = static_cast<int32_t>(fu), y = static_cast<int32_t>(fv);
    auto corner = [seed](int32_t cx, int32_t cy) {
        return static_cast<float>(Hash(cx + seed * 7919, cy - seed * 104729) >> 8) / static_cast<float>(1u << 24);
    };
    const float su = (u - fu) * (u - fu) * (3 - 2 * (u - fu)), sv = (v - fv) * (v - fv) * (3 - 2 * (v - fv));
    const float top = corner(x, y) + su * (corner(x + 1, y) - corner(x, y));
    const float bottom = corner(x, y + 1) + su * (corner(x + 1, y + 1) - corner(x, y + 1));
    return top + sv * (bottom - top);
}

// Content more like a photograph than the default background: broad colour
// variation, and in bands across the frame bricks with thin mortar, stripes
// 2.5 pixels apart and fine grain, with sharp-edged spots everywhere. It has
// detail at every scale a temporal upscaler must keep, and little that only
// aliases.
std::array<float, 3> Natural(float u, float v) {
    std::array<float, 3> color = {0.15f + 0.45f * ValueNoise(u / 37, v / 37, 1),
                                  0.15f + 0.40f * ValueNoise(u / 23, v / 29, 2),
                                  0.15f + 0.35f * ValueNoise(u / 41, v / 31, 3)};
    float shade = 1.0f;
    switch (static_cast<int>(std::fmod(std::fmod(std::floor(v / 30.0f), 3.0f) + 3.0f, 3.0f))) {
        case 0: {  // bricks of 9 x 4.5 pixels, every other row offset by half a brick
            const float row = std::floor(v / 4.5f);
            const float along = u + 4.5f * std::fmod(std::fabs(row), 2.0f);
            const bool mortar = along - 9.0f * std::floor(along / 9.0f) < 1.0f || v - 4.5f * row < 0.8f;
            shade = mortar ? 0.45f : 0.9f + 0.2f * ValueNoise(u / 9, row, 5);
            break;
        }
        case 1: {  // stripes 2.5 pixels apart, at 20 degrees
            const float along = u * 0.9397f + v * 0.3420f;
            shade = 0.6f + 0.4f * (0.5f + 0.5f * std::sin(2.0f * kPi * along / 2.5f));
            break;
        }
        default:  // grain of about 1.6 pixels
            shade = 0.8f + 0.4f * ValueNoise(u / 1.6f, v / 1.6f, 4);
            break;
    }
    // A spot of 3 to 6 pixels in some cells of 24.
    const float cell_u = std::floor(u / 24.0f), cell_v = std::floor(v / 24.0f);
    const uint32_t hash = Hash(static_cast<int32_t>(cell_u) + 31, static_cast<int32_t>(cell_v) - 17);
    if (hash % 3 == 0) {
        const float cu = (cell_u + 0.3f + 0.4f * static_cast<float>((hash >> 4) % 64) / 64.0f) * 24.0f;
        const float cv = (cell_v + 0.3f + 0.4f * static_cast<float>((hash >> 10) % 64) / 64.0f) * 24.0f;
        const float radius = 3.0f + 3.0f * static_cast<float>((hash >> 16) % 64) / 64.0f;
        if ((u - cu) * (u - cu) + (v - cv) * (v - cv) < radius * radius) shade = (hash >> 22) % 2 ? 1.8f : 0.25f;
    }
    for (float& c : color) c *= shade;
    return color;
}

// Content like a photograph: six octaves of noise from 48 down to 1.5
// input pixels shape the light of three kinds of surface with sharp edges
// between them (a grained wood, fine foliage, a smooth stone), crossed by dark
// lines thinner than a pixel. No pattern repeats, and there is detail at
// every scale.
std::array<float, 3> Photo(float u, float v) {
    float detail = 0, amplitude = 0.5f, scale = 48.0f;
    for (int32_t octave = 0; octave < 6; ++octave) {
        detail += amplitude * (ValueNoise(u / scale, v / scale, 11 + octave) - 0.5f);
        amplitude *= 0.7f;
        scale *= 0.5f;
    }
    const float surface = ValueNoise(u / 40, v / 40, 21);
    std::array<float, 3> color;
    float shade = std::max(0.05f, 1.0f + 1.6f * detail);
    if (surface > 0.55f) {  // wood: rings 3 pixels apart, bent by the noise
        color = {0.62f, 0.45f, 0.30f};
        shade *=
            0.7f + 0.3f * std::sin(2.0f * kPi * (0.8f * u + 0.3f * v + 12.0f * ValueNoise(u / 20, v / 20, 22)) / 3.0f);
    } else if (surface > 0.38f) {  // foliage: grain of about a pixel
        color = {0.25f, 0.40f, 0.20f};
        shade *= 0.55f + 0.9f * ValueNoise(u / 1.1f, v / 1.1f, 23);
    } else {  // stone
        color = {0.32f, 0.36f, 0.50f};
    }
    if (std::fabs(ValueNoise(u / 17, v / 17, 31) - 0.5f) < 0.006f) shade *= 0.15f;  // a thin dark line
    for (float& c : color) c *= shade;
    return color;
}

}  // namespace

namespace {

World DiscsWorld(World world, float speed, uint64_t seed) {
    SplitMix64 random{seed};
    world.camera_vx = -0.6f * speed;
    world.camera_vy = -0.15f * speed;
    const float size = std::min(world.width, world.height);
    const float depths[] = {0.8f, 0.5f, 0.3f};
    for (int k = 0; k < 3; ++k) {
        Disc disc;
        disc.x0 = random.Uniform(0.2f, 0.8f) * world.width;
        disc.y0 = random.Uniform(0.25f, 0.75f) * world.height;
        disc.vx = random.Uniform(-1.6f, 1.6f) * speed * static_cast<float>(3 - k);
        disc.vy = random.Uniform(-0.8f, 0.8f) * speed;
        disc.radius = random.Uniform(0.08f, 0.16f) * size;
        disc.depth = depths[k];
        disc.stripe_period = random.Uniform(1.3f, 2.6f);
        disc.stripe_angle = random.Uniform(0.0f, kPi);
        disc.color = {random.Uniform(0.3f, 1.0f), random.Uniform(0.3f, 1.0f), random.Uniform(0.3f, 1.0f)};
        world.discs.push_back(disc);
    }
    return world;
}

// One disc that moves in a straight line, without wrapping around.
Disc LoneDisc(const World& world, uint64_t seed, float radius, float depth, float vx, float vy) {
    SplitMix64 random{seed};
    Disc disc;
    disc.x0 = 0.3f * world.width;
    disc.y0 = 0.5f * world.height;
    disc.vx = vx;
    disc.vy = vy;
    disc.radius = radius * std::min(world.width, world.height);
    disc.depth = depth;
    disc.stripe_period = random.Uniform(1.6f, 2.4f);
    disc.stripe_angle = random.Uniform(0.0f, kPi);
    disc.color = {random.Uniform(0.4f, 1.0f), random.Uniform(0.4f, 1.0f), random.Uniform(0.4f, 1.0f)};
    return disc;
}

}  // namespace

World MakeWorld(uint32_t width, uint32_t height, float speed, uint64_t seed, SceneKind kind) {
    World world;
    world.kind = kind;
    world.width = static_cast<float>(width);
    world.height = static_cast<float>(height);
    const float size = std::min(world.width, world.height);
    switch (kind) {
        case SceneKind::kDefault:
            return DiscsWorld(world, speed, seed);
        case SceneKind::kStatic:
            return DiscsWorld(world, 0.0f, seed);
        case SceneKind::kSlowPan:
            world.camera_vx = -0.33f * speed;
            world.camera_vy = -0.12f * speed;
            return world;
        case SceneKind::kFastPan:
            world.camera_vx = -3.7f * speed;
            world.camera_vy = -1.3f * speed;
            return world;
        case SceneKind::kDisocclusion:
            world.discs.push_back(LoneDisc(world, seed, 0.2f, 0.8f, 1.3f * speed, 0.35f * speed));
            world.spin = 0.04f * speed;
            return world;
        case SceneKind::kHdr:
            world.camera_vx = -0.4f * speed;
            world.camera_vy = -0.15f * speed;
            world.discs.push_back(LoneDisc(world, seed, 0.12f, 0.6f, 0.9f * speed, 0.2f * speed));
            return world;
        case SceneKind::kThinLines:
            return world;
        case SceneKind::kPhotoPan:
            world.camera_vx = -0.4f * speed;
            world.camera_vy = -0.13f * speed;
            return world;
        case SceneKind::kPhotoZoom:
            world.zoom = 1.0f + 0.003f * speed;
            return world;
        case SceneKind::kPhotoObject:
            world.discs.push_back(LoneDisc(world, seed, 0.22f, 0.8f, 0.0f, 0.0f));
            world.discs[0].x0 = 0.5f * world.width;
            world.discs[0].vx = 1.6f * speed;  // the largest speed of its swing
            return world;
        case SceneKind::kMovingShadow:
            world.shadow_x0 = 0.25f * world.width;
            world.shadow_y0 = 0.5f * world.height;
            world.shadow_vx = 1.1f * speed;
            world.shadow_vy = 0.2f * speed;
            world.shadow_radius = 0.18f * size;
            return world;
    }
    return world;
}

namespace {

// Moving textured discs, nearest in front, over the panning background.
Hit ShadeDiscs(const World& world, float x, float y, uint32_t frame) {
    const float t = static_cast<float>(frame);
    Hit hit{{0, 0, 0}, 0.05f, world.camera_vx, world.camera_vy, -1};
    for (int k = 0; k < static_cast<int>(world.discs.size()); ++k) {
        const Disc& disc = world.discs[k];
        // Discs wrap around the screen so that they stay in view.
        const float span_x = world.width + 2 * disc.radius, span_y = world.height + 2 * disc.radius;
        const float cx =
            std::fmod(std::fmod(disc.x0 + disc.vx * t + disc.radius, span_x) + span_x, span_x) - disc.radius;
        const float cy =
            std::fmod(std::fmod(disc.y0 + disc.vy * t + disc.radius, span_y) + span_y, span_y) - disc.radius;
        const float dx = x - cx, dy = y - cy;
        if (dx * dx + dy * dy > disc.radius * disc.radius || disc.depth <= hit.depth) continue;
        const float along = dx * std::cos(disc.stripe_angle) + dy * std::sin(disc.stripe_angle);
        const float stripe = 0.5f + 0.5f * std::sin(2.0f * kPi * along / disc.stripe_period);
        const float rim = dx * dx + dy * dy > 0.8f * disc.radius * disc.radius ? 2.5f : 1.0f;
        hit = {{disc.color[0] * (0.3f + 0.7f * stripe) * rim, disc.color[1] * (0.3f + 0.7f * stripe) * rim,
                disc.color[2] * (0.3f + 0.7f * stripe) * rim},
               disc.depth,
               disc.vx,
               disc.vy,
               k};
    }
    if (hit.disc < 0) {
        const float u = x - world.camera_vx * t, v = y - world.camera_vy * t;
        hit.color = world.kind == SceneKind::kDefault ? Background(u, v) : Natural(u, v);
    }
    return hit;
}

std::array<float, 2> DiscCentre(const Disc& disc, float t) { return {disc.x0 + disc.vx * t, disc.y0 + disc.vy * t}; }

// The object of the photo-object kind swings from side to side across the
// middle of the screen, a full swing every 160 frames, at up to vx pixels a
// frame; its texture moves with it.
constexpr float kSwingFrames = 160.0f;

std::array<float, 2> SwingCentre(const World& world, float t) {
    const Disc& disc = world.discs[0];
    const float omega = 2.0f * kPi / kSwingFrames;
    return {disc.x0 + disc.vx / omega * std::sin(omega * t),
            disc.y0 + 0.25f * disc.vx / omega * std::sin(2 * omega * t)};
}

// The zoom kind: content point (u, v) lies at centre + (u - centre) * zoom^t.
float ZoomAt(const World& world, float t) { return std::pow(world.zoom, t); }

// The first disc, spinning as it moves: stripes crossed by a checker, so
// that its rotation shows.
bool ShadeSpinningDisc(const World& world, float x, float y, float t, Hit& hit) {
    const Disc& disc = world.discs[0];
    const auto [cx, cy] = DiscCentre(disc, t);
    const float dx = x - cx, dy = y - cy;
    if (dx * dx + dy * dy > disc.radius * disc.radius) return false;
    const float angle = disc.stripe_angle + world.spin * t;
    const float along = dx * std::cos(angle) + dy * std::sin(angle);
    const float across = -dx * std::sin(angle) + dy * std::cos(angle);
    const float stripe = 0.5f + 0.5f * std::sin(2.0f * kPi * along / disc.stripe_period);
    const float checker = std::fmod(std::floor(across / 3.0f), 2.0f) == 0.0f ? 1.0f : 0.55f;
    const float shade = (0.25f + 0.75f * stripe) * checker;
    // The point was turned by the spin since the last frame: where it was is
    // the offset turned back, plus the disc's own motion.
    const float c = std::cos(world.spin), s = std::sin(world.spin);
    const float before_x = dx * c + dy * s, before_y = -dx * s + dy * c;
    hit = {{disc.color[0] * shade, disc.color[1] * shade, disc.color[2] * shade},
           disc.depth,
           dx - before_x + disc.vx,
           dy - before_y + disc.vy,
           0};
    return true;
}

// Sparse highlights of 30 to 300 on a dim version of the background.
std::array<float, 3> HdrBackground(float u, float v) {
    std::array<float, 3> color = Natural(u, v);
    for (float& c : color) c *= 0.5f;
    constexpr float kCell = 2.3f;
    const auto cx = static_cast<int32_t>(std::floor(u / kCell)), cy = static_cast<int32_t>(std::floor(v / kCell));
    const float fx = u / kCell - std::floor(u / kCell), fy = v / kCell - std::floor(v / kCell);
    const uint32_t hash = Hash(cx + 7919, cy - 104729);
    if (hash % 41 == 0 && fx < 0.45f && fy < 0.45f) {
        const float peak = 30.0f + static_cast<float>((hash >> 8) % 271);
        color = {peak, 0.8f * peak, 0.55f * peak};
    }
    return color;
}

// Lines 0.2 to 0.6 input pixels wide at three angles, and a zone plate whose
// frequency rises to 0.8 cycles per input pixel at its rim.
float ThinLines(float x, float y, const World& world) {
    const float plate_x = 0.72f * world.width, plate_y = 0.5f * world.height;
    const float plate_radius = 0.25f * std::min(world.width, world.height);
    const float r2 = (x - plate_x) * (x - plate_x) + (y - plate_y) * (y - plate_y);
    if (r2 < plate_radius * plate_radius) {
        return 0.5f + 0.5f * std::cos(kPi * (0.8f / plate_radius) * r2);
    }
    auto on_line = [](float distance, float period, float index_offset) {
        const float k = std::floor(distance / period);
        const float width = 0.2f + 0.1f * std::fmod(std::fabs(k + index_offset), 5.0f);
        return std::fabs(distance - (k + 0.5f) * period) < 0.5f * width;
    };
    if (on_line(x, 11.0f, 0) || on_line(y, 13.0f, 2) || on_line(0.93f * x - 0.37f * y + 400.0f, 17.0f, 4)) {
        return 1.0f;
    }
    return 0.12f + 0.03f * std::sin(x * 0.05f);
}

std::array<float, 2> ShadowCentre(const World& world, float t) {
    return {world.shadow_x0 + world.shadow_vx * t, world.shadow_y0 + world.shadow_vy * t};
}

constexpr float kShadowEdge = 1.5f;  // half the width of the shadow's soft edge

float ShadowFactor(const World& world, float x, float y, float t) {
    const auto [cx, cy] = ShadowCentre(world, t);
    const float r = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
    const float lit = std::clamp((r - world.shadow_radius + kShadowEdge) / (2 * kShadowEdge), 0.0f, 1.0f);
    return 0.3f + 0.7f * lit * lit * (3 - 2 * lit);
}

}  // namespace

Hit Shade(const World& world, float x, float y, uint32_t frame) {
    const float t = static_cast<float>(frame);
    const float u = x - world.camera_vx * t, v = y - world.camera_vy * t;
    Hit hit{{0, 0, 0}, 0.05f, world.camera_vx, world.camera_vy, -1};
    switch (world.kind) {
        case SceneKind::kDefault:
        case SceneKind::kStatic:
            return ShadeDiscs(world, x, y, frame);
        case SceneKind::kSlowPan:
        case SceneKind::kFastPan:
            hit.color = Natural(u, v);
            return hit;
        case SceneKind::kDisocclusion:
            if (!ShadeSpinningDisc(world, x, y, t, hit)) hit.color = Natural(x, y);
            return hit;
        case SceneKind::kHdr: {
            const Disc& disc = world.discs[0];
            const auto [cx, cy] = DiscCentre(disc, t);
            const float d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            if (d2 > disc.radius * disc.radius) {
                hit.color = HdrBackground(u, v);
                return hit;
            }
            const float rim = d2 > 0.75f * disc.radius * disc.radius ? 150.0f : 1.0f;
            return {{disc.color[0] * rim, disc.color[1] * rim, disc.color[2] * rim}, disc.depth, disc.vx, disc.vy, 0};
        }
        case SceneKind::kThinLines: {
            const float value = ThinLines(x, y, world);
            hit.color = {value, value, value};
            return hit;
        }
        case SceneKind::kPhotoPan:
            hit.color = Photo(u, v);
            return hit;
        case SceneKind::kPhotoZoom: {
            const float cx = 0.5f * world.width, cy = 0.5f * world.height, scale = ZoomAt(world, t);
            hit.color = Photo(cx + (x - cx) / scale, cy + (y - cy) / scale);
            // Where this point was a frame ago, the zoom one step smaller.
            const float back = 1.0f / world.zoom;
            hit.motion_x = (x - cx) * (1.0f - back);
            hit.motion_y = (y - cy) * (1.0f - back);
            return hit;
        }
        case SceneKind::kPhotoObject: {
            const Disc& disc = world.discs[0];
            const auto [cx, cy] = SwingCentre(world, t);
            const float dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy > disc.radius * disc.radius) {
                hit.color = Photo(x, y);
                return hit;
            }
            const auto [px, py] = SwingCentre(world, t - 1.0f);
            const auto texture = Photo(3.0f * dx + 500.0f, 3.0f * dy + 500.0f);
            const float rim = dx * dx + dy * dy > 0.85f * disc.radius * disc.radius ? 0.3f : 1.0f;
            return {{disc.color[0] * texture[0] * 1.6f * rim, disc.color[1] * texture[1] * 1.6f * rim,
                     disc.color[2] * texture[2] * 1.6f * rim},
                    disc.depth,
                    cx - px,
                    cy - py,
                    0};
        }
        case SceneKind::kMovingShadow: {
            const float shade = ShadowFactor(world, x, y, t);
            const auto color = Natural(x, y);
            hit.color = {color[0] * shade, color[1] * shade, color[2] * shade};
            return hit;
        }
    }
    return hit;
}

Region ChangingRegion(const World& world, uint32_t frame) {
    const float t = static_cast<float>(frame), before = frame > 0 ? t - 1.0f : t;
    std::array<float, 2> now{}, then{};
    float reach = 0;
    if (world.kind == SceneKind::kDisocclusion) {
        now = DiscCentre(world.discs[0], t);
        then = DiscCentre(world.discs[0], before);
        reach = world.discs[0].radius;
    } else if (world.kind == SceneKind::kPhotoObject) {
        now = SwingCentre(world, t);
        then = SwingCentre(world, before);
        reach = world.discs[0].radius;
    } else if (world.kind == SceneKind::kMovingShadow) {
        now = ShadowCentre(world, t);
        then = ShadowCentre(world, before);
        reach = world.shadow_radius + kShadowEdge;
    } else {
        return {};
    }
    reach += 3.0f;  // and what a reconstruction filter reaches around it
    Region region{std::min(now[0], then[0]) - reach, std::min(now[1], then[1]) - reach,
                  std::max(now[0], then[0]) + reach, std::max(now[1], then[1]) + reach};
    region.x0 = std::clamp(region.x0, 0.0f, world.width);
    region.x1 = std::clamp(region.x1, 0.0f, world.width);
    region.y0 = std::clamp(region.y0, 0.0f, world.height);
    region.y1 = std::clamp(region.y1, 0.0f, world.height);
    return region;
}

std::array<float, 2> Jitter(uint32_t frame) { return {Halton(frame + 1, 2) - 0.5f, Halton(frame + 1, 3) - 0.5f}; }

}  // namespace scenegen
