#include "platform/kavo/upscale.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

namespace kavo {

namespace {

// History beyond this weight adds nothing but lag.
constexpr float kMaxHistoryWeight = 12.0f;
// Radius of the reconstruction kernel, in output pixels: a sample counts for
// the output pixels it lies in or next to, so that the history converges to
// the average over each output pixel rather than a blur of it. A little
// more than one pixel lets each frame reach a few more pixels, which steadies
// a still image for a tenth of a decibel.
constexpr float kKernelRadius = 1.1f;
// Where the reprojected history weighs less than kWeakHistory (after a reset
// or a disocclusion, or where a responsive mask dropped it), this frame's
// spatial upscale stands in for it with up to kSpatialWeight: far more than
// its few nearby samples weigh, so that such pixels look at least as good as
// a bicubic upscale. kMinTotalWeight keeps it wherever nothing else is left.
constexpr float kSpatialWeight = 10.0f;
constexpr float kWeakHistory = 0.25f;
constexpr float kMinTotalWeight = 0.05f;
// History that had to move into this frame's colour range is trusted less,
// by how far it moved against the width of the range (plus this tolerance).
constexpr float kRangeTolerance = 1e-3f;
// With depth, the history is held to this frame's colour range as strongly
// as the mean luminance of its wide neighbourhood changed, relative to the
// larger mean (tone-mapped): not at all below a floor, fully from
// 1 / kShadeGain above it. Thin detail that the samples hit in one frame and
// miss in the next changes the mean as much as a shadow, but not the same
// way frame after frame: the floor is lower the more frames (one, two,
// three) the change held in the same direction. kShadeDarkness keeps the
// relative change of near-black neighbourhoods small.
constexpr float kShadeFloors[3] = {0.5f, 0.3f, 0.05f};
constexpr float kShadeGain = 10.0f;
constexpr float kShadeDarkness = 0.02f;
// A history pixel that stands out from the history around it by more than
// kThinFeatureFloor (tone-mapped luminance) is a thin feature, surely so
// from 1 / kThinFeatureGain beyond that.
constexpr float kThinFeatureFloor = 0.08f;
constexpr float kThinFeatureGain = 30.0f;
// Sharpness of the cubic that resamples the history: Keys' a; -0.5 is
// Catmull-Rom, lower is sharper. The result is clamped to the taps around it.
constexpr float kHistoryCubicA = -0.75f;

// The floor of a float as a pixel index, defined for every float: values far
// outside any image clamp to +-2^30, NaN gives 0.
inline int64_t FloorIndex(float value) {
    if (!(value == value)) return 0;
    return static_cast<int64_t>(std::floor(std::clamp(value, -1073741824.0f, 1073741824.0f)));
}

struct Rgb {
    float r, g, b;
};

inline Rgb operator*(Rgb c, float k) { return {c.r * k, c.g * k, c.b * k}; }
inline Rgb operator+(Rgb a, Rgb b) { return {a.r + b.r, a.g + b.g, a.b + b.b}; }
inline float Max3(Rgb c) { return std::max(c.r, std::max(c.g, c.b)); }

// Finite, non-negative and within half range; NaN becomes 0.
inline float Clean(float v) { return v >= 0.0f ? std::min(v, 65504.0f) : 0.0f; }

// HDR colour is blended in a tone-mapped space where every value lies in
// [0, 1), so that bright samples do not dominate; LDR colour as it is.
inline Rgb ToneMap(Rgb c, float exposure, bool ldr) {
    if (ldr) return c;
    const Rgb x = c * exposure;
    return x * (1.0f / (1.0f + Max3(x)));
}

// The largest tone-mapped value: that of the largest half.
constexpr float kMaxToneMapped = 65504.0f / 65505.0f;

// Tone-mapped values outside [0, 1) have no colour behind them; they are
// clamped first, so that every output is finite.
inline Rgb InverseToneMap(Rgb t, float exposure, bool ldr) {
    if (ldr) return t;
    const Rgb clamped{std::clamp(t.r, 0.0f, kMaxToneMapped), std::clamp(t.g, 0.0f, kMaxToneMapped),
                      std::clamp(t.b, 0.0f, kMaxToneMapped)};
    return clamped * (1.0f / ((1.0f - Max3(clamped)) * exposure));
}

inline float Luminance(Rgb c) { return 0.2126f * c.r + 0.7152f * c.g + 0.0722f * c.b; }

inline uint32_t InputIndex(float position, uint32_t size) {
    const float clamped = std::clamp(position, 0.0f, static_cast<float>(size - 1));
    return static_cast<uint32_t>(clamped);
}

// The three samples nearest an output pixel along one axis: their clamped
// input indices and squared distances in output pixels. The jitter is the
// same for every pixel, so these are made once per frame and axis.
struct AxisTaps {
    uint32_t index[3];
    float distance2[3];
    uint32_t nearest;  // the sample the pixel's centre falls into
};

std::vector<AxisTaps> MakeTaps(uint32_t out_size, uint32_t in_size, float in_per_out, float out_per_in, float jitter) {
    std::vector<AxisTaps> taps(out_size);
    for (uint32_t o = 0; o < out_size; ++o) {
        // Position in sample space, where the sample of input pixel i lies at i + 0.5.
        const float u = (o + 0.5f) * in_per_out - jitter;
        const int64_t n = FloorIndex(u);
        for (int d = 0; d < 3; ++d) {
            const auto i = static_cast<uint32_t>(std::clamp<int64_t>(n + d - 1, 0, int64_t{in_size} - 1));
            const float distance = (i + 0.5f - u) * out_per_in;
            taps[o].index[d] = i;
            taps[o].distance2[d] = distance * distance;
        }
        taps[o].nearest = taps[o].index[1];
    }
    return taps;
}

// Keys' cubic weights of the four taps around a position at fraction t.
inline void CubicWeights(float t, float a, float w[4]) {
    auto near = [a](float x) { return ((a + 2) * x - (a + 3)) * x * x + 1; };       // |x| <= 1
    auto far = [a](float x) { return ((a * x - 5 * a) * x + 8 * a) * x - 4 * a; };  // 1 < |x| < 2
    w[0] = far(1 + t);
    w[1] = near(t);
    w[2] = near(1 - t);
    w[3] = far(2 - t);
}

// The four samples around an output pixel along one axis for the spatial
// (Catmull-Rom) estimate: clamped input indices and weights.
struct CubicTaps {
    uint32_t index[4];
    float weight[4];
};

std::vector<CubicTaps> MakeCubicTaps(uint32_t out_size, uint32_t in_size, float in_per_out, float jitter) {
    std::vector<CubicTaps> taps(out_size);
    for (uint32_t o = 0; o < out_size; ++o) {
        // In sample-index space the sample of input pixel i lies at i.
        const float u = (o + 0.5f) * in_per_out - 0.5f - jitter;
        const int64_t n = FloorIndex(u);
        CubicWeights(u - static_cast<float>(n), -0.5f, taps[o].weight);
        for (int d = 0; d < 4; ++d) {
            taps[o].index[d] = static_cast<uint32_t>(std::clamp<int64_t>(n + d - 1, 0, int64_t{in_size} - 1));
        }
    }
    return taps;
}

// The geometry shared by the passes.
struct Frame {
    uint32_t in_w, in_h, out_w, out_h;
    float in_per_out_x, in_per_out_y;  // input pixels per output pixel
    float out_per_in_x, out_per_in_y;
    std::vector<uint32_t> input_x, input_y;            // the input pixel under each output column and row
    std::vector<AxisTaps> columns, rows;               // this frame's reconstruction taps
    std::vector<CubicTaps> cubic_columns, cubic_rows;  // this frame's spatial estimate
};

void PrepareColor(const FrameSettings& s, const FrameInputs& in, const Frame& f, Scratch& scratch) {
    scratch.color.resize(static_cast<size_t>(f.in_w) * f.in_h);
    scratch.color_luma.resize(scratch.color.size());
    ForRows(f.in_h, [&](uint32_t y) {
        Float4* out = scratch.color.data() + static_cast<size_t>(y) * f.in_w;
        float* luma = scratch.color_luma.data() + static_cast<size_t>(y) * f.in_w;
        for (uint32_t x = 0; x < f.in_w; ++x) {
            const Half4& c = in.color.Clamped(int64_t{s.color_base_x} + x, int64_t{s.color_base_y} + y);
            const Rgb t = ToneMap({Clean(c.r), Clean(c.g), Clean(c.b)}, s.exposure, s.ldr);
            out[x] = {t.r, t.g, t.b, static_cast<float>(c.a)};
            luma[x] = Luminance(t);
        }
    });
}

// Picks the motion of the nearest surface in the 3x3 neighbourhood, so that
// edges of moving objects move with the object, not with the background.
// The offset, within the 3x3 neighbourhood of depth pixel (x, y), of the
// nearest surface; the centre wins ties.
template <class DepthAt>
void NearestSurface(bool inverted_depth, DepthAt depth_at, int64_t& best_dx, int64_t& best_dy) {
    float best = depth_at(0, 0);
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const float d = depth_at(dx, dy);
            if (inverted_depth ? d > best : d < best) {
                best = d;
                best_dx = dx;
                best_dy = dy;
            }
        }
    }
}

void DilateMotion(const FrameSettings& s, const FrameInputs& in, const Frame& f, const FrameState& state) {
    const bool use_depth = s.has_depth && !in.depth.empty();
    ForRows(f.in_h, [&](uint32_t y) {
        const int64_t depth_y = int64_t{s.depth_base_y} + y;
        for (uint32_t x = 0; x < f.in_w; ++x) {
            int64_t best_dx = 0, best_dy = 0;
            const int64_t depth_x = int64_t{s.depth_base_x} + x;
            if (use_depth && depth_x >= 1 && depth_y >= 1 && depth_x + 1 < in.depth.width &&
                depth_y + 1 < in.depth.height) {
                // Inside the depth image, as nearly every pixel is: no clamping per tap.
                const uint64_t pitch = in.depth.pitch;
                const auto* centre = reinterpret_cast<const std::byte*>(
                    &in.depth.At(static_cast<uint32_t>(depth_x), static_cast<uint32_t>(depth_y)));
                NearestSurface(
                    s.inverted_depth,
                    [&](int dx, int dy) {
                        return reinterpret_cast<const float*>(centre + dy * static_cast<int64_t>(pitch))[dx];
                    },
                    best_dx, best_dy);
            } else if (use_depth) {
                NearestSurface(
                    s.inverted_depth, [&](int dx, int dy) { return in.depth.Clamped(depth_x + dx, depth_y + dy); },
                    best_dx, best_dy);
            }
            const int64_t best_x = int64_t{x} + best_dx, best_y = int64_t{y} + best_dy;
            const Half2& v = in.velocity.Clamped(s.velocity_base_x + best_x, s.velocity_base_y + best_y);
            float vx = static_cast<float>(v.x), vy = static_cast<float>(v.y);
            if (!std::isfinite(vx)) vx = 0.0f;
            if (!std::isfinite(vy)) vy = 0.0f;
            if (s.velocity_ndc) {
                vx *= 0.5f * static_cast<float>(f.in_w);
                vy *= -0.5f * static_cast<float>(f.in_h);
            }
            vx *= s.velocity_scale_x;
            vy *= s.velocity_scale_y;
            if (s.jittered_motion) {
                vx -= s.jitter_x - s.previous_jitter_x;
                vy -= s.jitter_y - s.previous_jitter_y;
            }
            state.motion.At(x, y) = {vx, vy};
        }
    });
}

// The history at a position between its pixels, resampled with a sharp
// cubic so that it keeps its detail while it moves by fractions of a pixel
// every frame, and clamped to the four pixels around the position so that the
// sharpening never rings.
[[gnu::always_inline]] inline Float4 SampleHistory(const ImageView<const Float4>& history, float x, float y) {
    const int64_t fx = FloorIndex(x), fy = FloorIndex(y);
    float wx[4], wy[4];
    CubicWeights(x - static_cast<float>(fx), kHistoryCubicA, wx);
    CubicWeights(y - static_cast<float>(fy), kHistoryCubicA, wy);
    const int64_t ix = fx - 1, iy = fy - 1;
    const Float4* rows[4];
    int64_t columns[4];
    if (ix >= 0 && iy >= 0 && ix + 3 < history.width && iy + 3 < history.height) {
        // Inside the image, as nearly every pixel is: no tap needs clamping.
        for (int k = 0; k < 4; ++k) {
            rows[k] = history.Row(static_cast<uint32_t>(iy + k));
            columns[k] = ix + k;
        }
    } else {
        for (int k = 0; k < 4; ++k) {
            rows[k] = history.Row(static_cast<uint32_t>(std::clamp<int64_t>(iy + k, 0, int64_t{history.height} - 1)));
            columns[k] = std::clamp<int64_t>(ix + k, 0, int64_t{history.width} - 1);
        }
    }
    // Each pixel's four channels in one vector; the middle taps of the middle
    // rows also bound the result.
    const __m128 wx0 = _mm_set1_ps(wx[0]), wx1 = _mm_set1_ps(wx[1]), wx2 = _mm_set1_ps(wx[2]), wx3 = _mm_set1_ps(wx[3]);
    __m128 total = _mm_setzero_ps(), low = _mm_set1_ps(1e30f), high = _mm_set1_ps(-1e30f);
    auto add_row = [&]<bool kBounds>(int j, std::bool_constant<kBounds>) {
        const Float4* row = rows[j];
        const __m128 t1 = _mm_loadu_ps(&row[columns[1]].r), t2 = _mm_loadu_ps(&row[columns[2]].r);
        __m128 line = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(&row[columns[0]].r), wx0), _mm_mul_ps(t1, wx1));
        line = _mm_add_ps(line, _mm_add_ps(_mm_mul_ps(t2, wx2), _mm_mul_ps(_mm_loadu_ps(&row[columns[3]].r), wx3)));
        total = _mm_add_ps(total, _mm_mul_ps(line, _mm_set1_ps(wy[j])));
        if constexpr (kBounds) {
            low = _mm_min_ps(low, _mm_min_ps(t1, t2));
            high = _mm_max_ps(high, _mm_max_ps(t1, t2));
        }
    };
    add_row(0, std::false_type{});
    add_row(1, std::true_type{});
    add_row(2, std::true_type{});
    add_row(3, std::false_type{});
    Float4 sum;
    _mm_storeu_ps(&sum.r, _mm_min_ps(_mm_max_ps(total, low), high));
    return sum;
}

float DepthAt(const FrameSettings& s, const ImageView<const float>& depth, uint32_t x, uint32_t y) {
    return depth.Clamped(int64_t{s.depth_base_x} + x, int64_t{s.depth_base_y} + y);
}

// A surface that was hidden in the last frame has no history: its depth then
// differs from the depth the motion points back to.
bool Disoccluded(float current, float previous) {
    return std::fabs(current - previous) > 0.1f * std::max(std::fabs(current), std::fabs(previous)) + 1e-4f;
}

// The last frame's history moved along the motion of input pixel (ix, iy)
// to the point (x, y) in output pixels; nothing where the surface was
// hidden, off screen or reset.
[[gnu::always_inline]] inline Float4 ReprojectedAt(const FrameSettings& s, const Frame& f, const FrameState& state,
                                                   uint32_t ix, uint32_t iy, float x, float y) {
    const Float2 v = state.motion.At(ix, iy);
    const float px = x + v.x * f.out_per_in_x, py = y + v.y * f.out_per_in_y;
    bool valid = !s.reset && px >= 0.0f && py >= 0.0f && px <= f.out_w && py <= f.out_h;
    if (valid && s.has_depth && !state.depth_before.empty()) {
        const float previous =
            state.depth_before.Clamped(FloorIndex(px * f.in_per_out_x), FloorIndex(py * f.in_per_out_y));
        valid = !Disoccluded(state.depth.At(ix, iy), previous);
    }
    return valid ? SampleHistory(state.history_before, px - 0.5f, py - 0.5f) : Float4{0, 0, 0, 0};
}

// The same at the centre of output pixel (ox, oy).
[[gnu::always_inline]] inline Float4 Reprojected(const FrameSettings& s, const Frame& f, const FrameState& state,
                                                 uint32_t ox, uint32_t oy) {
    return ReprojectedAt(s, f, state, f.input_x[ox], f.input_y[oy], ox + 0.5f, oy + 0.5f);
}

// The reprojected history's luminance where each of this frame's samples
// lies, for the shading-change test: detail that the history holds then
// differs less from the samples that happened to hit or miss it.
void HistoryLuminance(const FrameSettings& s, const Frame& f, const FrameState& state, Scratch& scratch) {
    scratch.history_luma.resize(static_cast<size_t>(f.in_w) * f.in_h);
    ForRows(f.in_h, [&](uint32_t iy) {
        float* luma = scratch.history_luma.data() + static_cast<size_t>(iy) * f.in_w;
        const float y = (iy + 0.5f + s.jitter_y) * f.out_per_in_y;
        for (uint32_t ix = 0; ix < f.in_w; ++ix) {
            const float x = (ix + 0.5f + s.jitter_x) * f.out_per_in_x;
            const Float4 h = ReprojectedAt(s, f, state, ix, iy, x, y);
            luma[ix] = Luminance({h.r, h.g, h.b});
        }
    });
}

// Replaces every value of a width x height image by the mean of the
// (2 radius + 1)^2 values around it, the image's edge repeated outside it.
void BoxFilter(std::vector<float>& image, uint32_t width, uint32_t height, int radius, std::vector<float>& sums) {
    const float scale = 1.0f / static_cast<float>(2 * radius + 1);
    auto pass = [&](uint32_t lines, uint32_t length, size_t step, size_t line_step) {
        ForRows(lines, [&](uint32_t line) {
            float* values = image.data() + line * line_step;
            float* out = sums.data() + line * line_step;
            auto at = [&](int64_t i) { return values[std::clamp<int64_t>(i, 0, length - 1) * step]; };
            float running = 0;
            for (int64_t i = -radius; i <= radius; ++i) running += at(i);
            for (uint32_t i = 0; i < length; ++i) {
                out[i * step] = running * scale;
                running += at(int64_t{i} + radius + 1) - at(int64_t{i} - radius);
            }
        });
        image.swap(sums);
    };
    sums.resize(image.size());
    pass(height, width, 1, width);  // along rows
    pass(width, height, width, 1);  // along columns
}

// The mean luminance of neighbourhoods of each input pixel, now and in the
// reprojected history: a wide one tells where the shading changed, a narrow
// one by how much it did there.
void MeasureShading(const Frame& f, Scratch& scratch) {
    constexpr int wide_radius = 3, narrow_radius = 1;
    scratch.shading[0] = scratch.shading[2] = scratch.color_luma;
    scratch.shading[1] = scratch.shading[3] = scratch.history_luma;
    for (int k = 0; k < 4; ++k) {
        BoxFilter(scratch.shading[k], f.in_w, f.in_h, k < 2 ? wide_radius : narrow_radius, scratch.box);
    }
}

// How far a mean luminance changed from the history's, against the larger
// of the two: a shadow darkens dark and bright surfaces alike.
inline float RelativeChange(float now, float history) {
    return (now - history) / (std::max(now, history) + kShadeDarkness);
}

// How far the relative change of the wide mean lies beyond its floor, given
// how many frames it held in the same direction at the same place of the
// surface (this one and up to two before; negative: not at all). Shading
// that changes where nothing moves (a moving shadow) keeps changing the mean
// one way while it passes; detail finer than the samples (thin lines, which
// they hit in one frame and miss in the next) changes it one way and the
// other as the jitter moves. Each frame keeps its change and the last one's
// for the next.
void PersistentShadingChange(const FrameSettings& s, const Frame& f, const FrameState& state, Scratch& scratch) {
    scratch.shading_change.resize(static_cast<size_t>(f.in_w) * f.in_h);
    ForRows(f.in_h, [&](uint32_t y) {
        for (uint32_t x = 0; x < f.in_w; ++x) {
            const size_t at = static_cast<size_t>(y) * f.in_w + x;
            const float now = RelativeChange(scratch.shading[0][at], scratch.shading[1][at]);
            const Float2 v = state.motion.At(x, y);
            const int64_t bx = FloorIndex(x + 0.5f + v.x), by = FloorIndex(y + 0.5f + v.y);
            const bool seen = !s.reset && bx >= 0 && by >= 0 && bx < f.in_w && by < f.in_h;
            const Float2 before =
                seen ? state.shading_before.At(static_cast<uint32_t>(bx), static_cast<uint32_t>(by)) : Float2{0, 0};
            // The smallest change of the last one, two and three frames
            // while all went the same way, each beyond its floor.
            const float changes[3] = {now, before.x, before.y};
            float smallest = std::fabs(now), excess = smallest - kShadeFloors[0];
            for (int k = 1; k < 3 && changes[k] * now > 0.0f; ++k) {
                smallest = std::min(smallest, std::fabs(changes[k]));
                excess = std::max(excess, smallest - kShadeFloors[k]);
            }
            scratch.shading_change[at] = excess;
            state.shading.At(x, y) = {now, before.x};
        }
    });
}

// This frame's depth, from the base offset on, for the disocclusion test and
// for the next frame.
void KeepDepth(const FrameSettings& s, const FrameInputs& in, const Frame& f, const FrameState& state) {
    if (!s.has_depth || in.depth.empty() || state.depth.empty()) return;
    ForRows(f.in_h, [&](uint32_t y) {
        for (uint32_t x = 0; x < f.in_w; ++x) state.depth.At(x, y) = DepthAt(s, in.depth, x, y);
    });
}

// Forward splatting: every sample adds itself to the four output pixels
// around its position with bilinear weights.
void SplatSamples(const FrameSettings& s, const Frame& f, const Scratch& scratch, const FrameState& work) {
    for (uint32_t oy = 0; oy < f.out_h; ++oy) {
        std::memset(static_cast<void*>(work.splat_accumulation.Row(oy)), 0, sizeof(Float4) * f.out_w);
    }
    for (uint32_t j = 0; j < f.in_h; ++j) {
        for (uint32_t i = 0; i < f.in_w; ++i) {
            const Float4& c = scratch.color[static_cast<size_t>(j) * f.in_w + i];
            const float qx = (i + 0.5f + s.jitter_x) * f.out_per_in_x - 0.5f;
            const float qy = (j + 0.5f + s.jitter_y) * f.out_per_in_y - 0.5f;
            const int64_t fx = FloorIndex(qx), fy = FloorIndex(qy);
            const float ax = qx - static_cast<float>(fx), ay = qy - static_cast<float>(fy);
            const float weights[4] = {(1 - ax) * (1 - ay), ax * (1 - ay), (1 - ax) * ay, ax * ay};
            for (int k = 0; k < 4; ++k) {
                const int64_t ox = fx + (k & 1), oy = fy + (k >> 1);
                if (ox < 0 || oy < 0 || ox >= f.out_w || oy >= f.out_h) continue;
                Float4& acc = work.splat_accumulation.At(static_cast<uint32_t>(ox), static_cast<uint32_t>(oy));
                acc.r += weights[k] * c.r;
                acc.g += weights[k] * c.g;
                acc.b += weights[k] * c.b;
                acc.a += weights[k];
            }
        }
    }
}

struct Neighbourhood {
    Rgb sum;        // this frame's samples, weighted by the reconstruction kernel
    float weight;   // the sum of their weights: how much of this frame lies at the pixel
    Rgb low, high;  // colour range of the nearby samples
    float alpha;
};

[[gnu::always_inline]] inline Neighbourhood Gather(const FrameSettings& s, const Frame& f, const Scratch& scratch,
                                                   const FrameState& work, uint32_t ox, uint32_t oy, float radius) {
    const AxisTaps& column = f.columns[ox];
    const AxisTaps& row_taps = f.rows[oy];
    const float inv_r2 = 1.0f / (radius * radius);
    Neighbourhood n{{0, 0, 0}, 0, {0, 0, 0}, {0, 0, 0}, 1};
    // Each sample's four channels in one vector: weighted sum, low and high.
    __m128 sum = _mm_setzero_ps(), low = _mm_set1_ps(1e30f), high = _mm_set1_ps(-1e30f);
    for (int dj = 0; dj < 3; ++dj) {
        const Float4* row = scratch.color.data() + static_cast<size_t>(row_taps.index[dj]) * f.in_w;
        for (int di = 0; di < 3; ++di) {
            const __m128 c = _mm_loadu_ps(&row[column.index[di]].r);
            float w = std::max(0.0f, 1.0f - (column.distance2[di] + row_taps.distance2[dj]) * inv_r2);
            w *= w;
            sum = _mm_add_ps(sum, _mm_mul_ps(c, _mm_set1_ps(w)));
            low = _mm_min_ps(low, c);
            high = _mm_max_ps(high, c);
            n.weight += w;
        }
    }
    alignas(16) float lanes[3][4];
    _mm_store_ps(lanes[0], sum);
    _mm_store_ps(lanes[1], low);
    _mm_store_ps(lanes[2], high);
    n.sum = {lanes[0][0], lanes[0][1], lanes[0][2]};
    n.low = {lanes[1][0], lanes[1][1], lanes[1][2]};
    n.high = {lanes[2][0], lanes[2][1], lanes[2][2]};
    n.alpha = scratch.color[static_cast<size_t>(row_taps.nearest) * f.in_w + column.nearest].a;
    if (s.model == Model::kSplat) {
        const Float4& acc = work.splat_accumulation.At(ox, oy);
        n.sum = {acc.r, acc.g, acc.b};
        n.weight = acc.a;
    }
    return n;
}

// This frame alone, upscaled with Catmull-Rom weights from its samples'
// true positions: what stands in for the history where there is none. It is
// interpolated in linear light, as any spatial upscale would, and then tone
// mapped for the blend.
Rgb SpatialEstimate(const FrameSettings& s, const FrameInputs& in, const Frame& f, uint32_t ox, uint32_t oy) {
    const CubicTaps& column = f.cubic_columns[ox];
    const CubicTaps& row_taps = f.cubic_rows[oy];
    Rgb total{0, 0, 0};
    for (int j = 0; j < 4; ++j) {
        Rgb line{0, 0, 0};
        for (int i = 0; i < 4; ++i) {
            const Half4& c = in.color.Clamped(int64_t{s.color_base_x} + column.index[i],
                                              int64_t{s.color_base_y} + row_taps.index[j]);
            line = line + Rgb{Clean(c.r), Clean(c.g), Clean(c.b)} * column.weight[i];
        }
        total = total + line * row_taps.weight[j];
    }
    // The cubic overshoots at edges; light is never below 0.
    return ToneMap({Clean(total.r), Clean(total.g), Clean(total.b)}, s.exposure, s.ldr);
}

inline float Clamp(float v, float low, float high) { return std::min(std::max(v, low), high); }

// History outside this frame's local colour range is stale: it is pulled into
// the range by `strength` and trusted less the further it had to move.
Rgb Rectified(const Float4& h, const Neighbourhood& n, float strength, float& history_weight) {
    const Rgb clamped{Clamp(h.r, n.low.r, n.high.r), Clamp(h.g, n.low.g, n.high.g), Clamp(h.b, n.low.b, n.high.b)};
    const Rgb history{h.r, h.g, h.b};
    const Rgb rectified = history + (clamped + history * -1.0f) * strength;
    const float moved =
        Max3({std::fabs(rectified.r - h.r), std::fabs(rectified.g - h.g), std::fabs(rectified.b - h.b)});
    const float range = Max3({n.high.r - n.low.r, n.high.g - n.low.g, n.high.b - n.low.b}) + kRangeTolerance;
    history_weight *= Clamp(1.0f - moved / range, 0.0f, 1.0f);
    return rectified;
}

// A plane of scratch values, width x height, as an image to read.
ImageView<const float> PlaneOf(const std::vector<float>& plane, uint32_t width, uint32_t height) {
    // The view's pixels are const: nothing writes through the cast.
    return {reinterpret_cast<std::byte*>(const_cast<float*>(plane.data())), uint64_t{width} * sizeof(float), width,
            height};
}

// How far the luminance at (x, y) stands out above or below the luminance
// two pixels away on both sides, across or along: a line or dot one to three
// pixels wide does; a shadow's edge, which lies between its two sides, does
// not.
float StandsOut(const ImageView<const float>& luminance, int64_t x, int64_t y) {
    const float centre = luminance.Clamped(x, y);
    const float sides[2][2] = {{luminance.Clamped(x - 2, y), luminance.Clamped(x + 2, y)},
                               {luminance.Clamped(x, y - 2), luminance.Clamped(x, y + 2)}};
    float stands_out = 0.0f;
    for (const auto& side : sides) {
        stands_out = std::max(stands_out, std::min(centre - side[0], centre - side[1]));
        stands_out = std::max(stands_out, std::min(side[0] - centre, side[1] - centre));
    }
    return stands_out;
}

// How far each pixel of the last frame's history stands out, for telling
// thin features where the shading seemed to change; nothing to do where it
// did nowhere.
void MeasureThinFeatures(const Frame& f, const FrameState& state, Scratch& scratch) {
    const auto& change = scratch.shading_change;
    if (std::none_of(change.begin(), change.end(), [](float excess) { return excess > 0.0f; })) return;
    const size_t pixels = static_cast<size_t>(f.out_w) * f.out_h;
    scratch.last_history_luma.resize(pixels);
    scratch.stands_out.resize(pixels);
    ForRows(f.out_h, [&](uint32_t y) {
        const Float4* history = state.history_before.Row(y);
        float* luma = scratch.last_history_luma.data() + static_cast<size_t>(y) * f.out_w;
        for (uint32_t x = 0; x < f.out_w; ++x) luma[x] = Luminance({history[x].r, history[x].g, history[x].b});
    });
    const ImageView<const float> luminance = PlaneOf(scratch.last_history_luma, f.out_w, f.out_h);
    ForRows(f.out_h, [&](uint32_t y) {
        float* stands_out = scratch.stands_out.data() + static_cast<size_t>(y) * f.out_w;
        for (uint32_t x = 0; x < f.out_w; ++x) stands_out[x] = StandsOut(luminance, x, y);
    });
}

// How surely output pixel (ox, oy) lies on or beside a thin feature of the
// history. Thin features keep their history where the shading seemed to
// change, as that change may be the samples missing them; texture with less
// contrast than a thin line is rectified as usual.
float ThinFeature(const Frame& f, const FrameState& state, const Scratch& scratch, uint32_t ox, uint32_t oy) {
    const Float2 v = state.motion.At(f.input_x[ox], f.input_y[oy]);
    const int64_t hx = FloorIndex(ox + 0.5f + v.x * f.out_per_in_x);
    const int64_t hy = FloorIndex(oy + 0.5f + v.y * f.out_per_in_y);
    const ImageView<const float> measured = PlaneOf(scratch.stands_out, f.out_w, f.out_h);
    float stands_out = measured.Clamped(hx, hy);
    for (const auto& [dx, dy] : {std::pair{-1, 0}, std::pair{1, 0}, std::pair{0, -1}, std::pair{0, 1}}) {
        stands_out = std::max(stands_out, measured.Clamped(hx + dx, hy + dy));
    }
    return Clamp((stands_out - kThinFeatureFloor) * kThinFeatureGain, 0.0f, 1.0f);
}

void Accumulate(const FrameSettings& s, const FrameInputs& in, const Frame& f, const Scratch& scratch,
                const FrameState& state, const ImageView<Half4>& output) {
    const bool has_mask = !in.responsive_mask.empty();
    // Without depth, disocclusions show only in colour, and the history is
    // always held to this frame's colour range. With depth, the reprojection
    // already dropped disocclusions, but shading can still change where
    // nothing moves (a moving shadow): the history is held to the range as
    // far as the shading kept changing (PersistentShadingChange), so that
    // detail the samples missed this once (a thin line) keeps its history.
    const bool depth_vouches = s.has_depth && !in.depth.empty();
    ForRows(f.out_h, [&](uint32_t oy) {
        const uint32_t iy = f.input_y[oy];
        for (uint32_t ox = 0; ox < f.out_w; ++ox) {
            const Float4 h = Reprojected(s, f, state, ox, oy);
            const Neighbourhood n = Gather(s, f, scratch, state, ox, oy, kKernelRadius);
            float history_weight = std::min(h.a, kMaxHistoryWeight);
            const size_t at = static_cast<size_t>(iy) * f.in_w + f.input_x[ox];
            float strength = depth_vouches ? Clamp(scratch.shading_change[at] * kShadeGain, 0.0f, 1.0f) : 1.0f;
            if (strength > 0.0f && depth_vouches) strength *= 1.0f - ThinFeature(f, state, scratch, ox, oy);
            Rgb rectified{h.r, h.g, h.b};
            if (strength > 0.0f) {
                // Where the light changed, the history is first lit as this
                // frame's close neighbourhood is, which keeps its detail;
                // what still lies outside this frame's range is pulled in.
                float relight = 1.0f;
                if (depth_vouches) {
                    relight += (scratch.shading[2][at] / std::max(scratch.shading[3][at], 1e-4f) - 1.0f) * strength;
                }
                rectified = Rectified({h.r * relight, h.g * relight, h.b * relight, h.a}, n, strength, history_weight);
            }
            if (has_mask) {
                const uint32_t ix = f.input_x[ox];
                history_weight *= 1.0f - in.responsive_mask.Clamped(ix, iy) / 255.0f;
            }

            Rgb sum = rectified * history_weight + n.sum;
            float total = history_weight + n.weight;
            // Where there is no history to speak of (a reset, a disocclusion),
            // this frame alone, upscaled, with its samples where they lie; and
            // wherever nothing else is left.
            const float spatial =
                kSpatialWeight * std::max(0.0f, 1.0f - h.a / kWeakHistory) + std::max(0.0f, kMinTotalWeight - total);
            if (spatial > 0.0f) {
                sum = sum + SpatialEstimate(s, in, f, ox, oy) * spatial;
                total += spatial;
            }
            const Rgb blended = sum * (1.0f / total);
            const float accumulated = std::min(history_weight + n.weight, kMaxHistoryWeight);
            state.history.At(ox, oy) = {blended.r, blended.g, blended.b, accumulated};
            const Rgb color = InverseToneMap(blended, s.exposure, s.ldr);
            StoreHalf4(output.At(ox, oy), Clean(color.r), Clean(color.g), Clean(color.b), n.alpha);
        }
    });
}

__attribute__((target("f16c"))) void StoreHalf4WithF16c(Half4& out, float r, float g, float b, float a) {
    const __m128i halves = _mm_cvtps_ph(_mm_setr_ps(r, g, b, a), _MM_FROUND_TO_NEAREST_INT);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&out), halves);
}

void StoreHalf4Portably(Half4& out, float r, float g, float b, float a) {
    out = {Imath::half(r), Imath::half(g), Imath::half(b), Imath::half(a)};
}

using StoreHalf4Function = void (*)(Half4&, float, float, float, float);
const StoreHalf4Function store_half4 = __builtin_cpu_supports("f16c") ? StoreHalf4WithF16c : StoreHalf4Portably;

}  // namespace

void StoreHalf4(Half4& out, float r, float g, float b, float a) { store_half4(out, r, g, b, a); }

namespace {

Frame MakeFrame(const FrameSettings& s, uint32_t out_w, uint32_t out_h) {
    Frame f{};
    f.in_w = std::max(1u, s.input_width);
    f.in_h = std::max(1u, s.input_height);
    f.out_w = out_w;
    f.out_h = out_h;
    f.in_per_out_x = static_cast<float>(f.in_w) / f.out_w;
    f.in_per_out_y = static_cast<float>(f.in_h) / f.out_h;
    f.out_per_in_x = 1.0f / f.in_per_out_x;
    f.out_per_in_y = 1.0f / f.in_per_out_y;
    for (uint32_t ox = 0; ox < f.out_w; ++ox) f.input_x.push_back(InputIndex((ox + 0.5f) * f.in_per_out_x, f.in_w));
    for (uint32_t oy = 0; oy < f.out_h; ++oy) f.input_y.push_back(InputIndex((oy + 0.5f) * f.in_per_out_y, f.in_h));
    f.columns = MakeTaps(f.out_w, f.in_w, f.in_per_out_x, f.out_per_in_x, s.jitter_x);
    f.rows = MakeTaps(f.out_h, f.in_h, f.in_per_out_y, f.out_per_in_y, s.jitter_y);
    f.cubic_columns = MakeCubicTaps(f.out_w, f.in_w, f.in_per_out_x, s.jitter_x);
    f.cubic_rows = MakeCubicTaps(f.out_h, f.in_h, f.in_per_out_y, s.jitter_y);
    return f;
}

}  // namespace

void UpscaleFrame(const FrameSettings& s, const FrameInputs& inputs, const FrameState& state, Scratch& scratch,
                  const ImageView<Half4>& output) {
    const Frame f = MakeFrame(s, output.width, output.height);
    PrepareColor(s, inputs, f, scratch);
    DilateMotion(s, inputs, f, state);
    KeepDepth(s, inputs, f, state);
    HistoryLuminance(s, f, state, scratch);
    MeasureShading(f, scratch);
    PersistentShadingChange(s, f, state, scratch);
    if (s.has_depth && !inputs.depth.empty()) MeasureThinFeatures(f, state, scratch);
    if (s.model == Model::kSplat) SplatSamples(s, f, scratch, state);
    Accumulate(s, inputs, f, scratch, state, output);
}

void MakeDumpViews(const FrameSettings& s, const FrameState& state, const Scratch& scratch, const DumpViews& dump) {
    const Frame f = MakeFrame(s, state.history.width, state.history.height);
    ForRows(f.out_h, [&](uint32_t oy) {
        for (uint32_t ox = 0; ox < f.out_w; ++ox) {
            dump.reprojected_history.At(ox, oy) = Reprojected(s, f, state, ox, oy);
            dump.reconstruction_weight.At(ox, oy) = Gather(s, f, scratch, state, ox, oy, kKernelRadius).weight;
            const Float4& h = state.history.At(ox, oy);
            StoreHalf4(dump.history.At(ox, oy), h.r, h.g, h.b, h.a);
            dump.history_packed.At(ox, oy) = PackR11G11B10(h.r, h.g, h.b);
        }
    });
    ForRows(f.in_h, [&](uint32_t y) {
        for (uint32_t x = 0; x < f.in_w; ++x) {
            const Float2 v = state.motion.At(x, y);
            dump.motion.At(x, y) = {Imath::half(v.x), Imath::half(v.y)};
            dump.motion_output.At(x, y) = {v.x * f.out_per_in_x, v.y * f.out_per_in_y};
            dump.luminance.At(x, y) = Imath::half(scratch.color_luma[static_cast<size_t>(y) * f.in_w + x]);
        }
    });
}

}  // namespace kavo
