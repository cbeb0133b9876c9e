#pragma once

// The synthetic world that scenegen renders: a panning, finely detailed
// background and textured discs moving at their own speeds and depths.
#include <array>
#include <cstdint>
#include <vector>

namespace scenegen {

struct Disc {
    float x0, y0;    // centre at frame 0, input pixels
    float vx, vy;    // screen motion per frame, input pixels
    float radius;
    float depth;     // reversed-Z: larger is nearer
    float stripe_period;
    float stripe_angle;
    std::array<float, 3> color;
};

struct World {
    float width = 0, height = 0;  // the input resolution, in input pixels
    float camera_vx = 0, camera_vy = 0;  // background motion per frame (the camera pan)
    std::vector<Disc> discs;
};

// What one point of the screen shows at a frame.
struct Hit {
    std::array<float, 3> color;
    float depth;
    float motion_x, motion_y;  // where the surface moved since the previous frame, input pixels
    int disc;                  // -1 for the background
};

// Builds the world from a seed; speed scales every motion.
World MakeWorld(uint32_t width, uint32_t height, float speed, uint64_t seed);

// The surface at screen position (x, y) in input pixels at frame `frame`.
Hit Shade(const World& world, float x, float y, uint32_t frame);

// The jitter of a frame: Halton (2, 3), centred on zero, in input pixels.
std::array<float, 2> Jitter(uint32_t frame);

}  // namespace scenegen
