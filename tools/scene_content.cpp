#include "tools/scene_content.h"

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

}  // namespace

World MakeWorld(uint32_t width, uint32_t height, float speed, uint64_t seed) {
    SplitMix64 random{seed};
    World world;
    world.width = static_cast<float>(width);
    world.height = static_cast<float>(height);
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

Hit Shade(const World& world, float x, float y, uint32_t frame) {
    const float t = static_cast<float>(frame);
    Hit hit{{0, 0, 0}, 0.05f, world.camera_vx, world.camera_vy, -1};
    for (int k = 0; k < static_cast<int>(world.discs.size()); ++k) {
        const Disc& disc = world.discs[k];
        // Discs wrap around the screen so that they stay in view.
        const float span_x = world.width + 2 * disc.radius, span_y = world.height + 2 * disc.radius;
        const float cx = std::fmod(std::fmod(disc.x0 + disc.vx * t + disc.radius, span_x) + span_x, span_x) - disc.radius;
        const float cy = std::fmod(std::fmod(disc.y0 + disc.vy * t + disc.radius, span_y) + span_y, span_y) - disc.radius;
        const float dx = x - cx, dy = y - cy;
        if (dx * dx + dy * dy > disc.radius * disc.radius || disc.depth <= hit.depth) continue;
        const float along = dx * std::cos(disc.stripe_angle) + dy * std::sin(disc.stripe_angle);
        const float stripe = 0.5f + 0.5f * std::sin(2.0f * kPi * along / disc.stripe_period);
        const float rim = dx * dx + dy * dy > 0.8f * disc.radius * disc.radius ? 2.5f : 1.0f;
        hit = {{disc.color[0] * (0.3f + 0.7f * stripe) * rim, disc.color[1] * (0.3f + 0.7f * stripe) * rim,
                disc.color[2] * (0.3f + 0.7f * stripe) * rim},
               disc.depth, disc.vx, disc.vy, k};
    }
    if (hit.disc < 0) {
        hit.color = Background(x - world.camera_vx * t, y - world.camera_vy * t);
    }
    return hit;
}

std::array<float, 2> Jitter(uint32_t frame) {
    return {Halton(frame + 1, 2) - 0.5f, Halton(frame + 1, 3) - 0.5f};
}

}  // namespace scenegen
