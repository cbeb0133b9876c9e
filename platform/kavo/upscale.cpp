#include "platform/kavo/upscale.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kavo {

namespace {

// History beyond this weight adds nothing but lag.
constexpr float kMaxHistoryWeight = 12.0f;
// Radius of the reconstruction kernel, in output pixels.
constexpr float kKernelRadius = 1.5f;
// Below this weight a frame's reconstruction falls back to the nearest sample.
constexpr float kMinSampleWeight = 1e-3f;

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

inline Rgb InverseToneMap(Rgb t, float exposure, bool ldr) {
    if (ldr) return t;
    const float k = 1.0f / std::max(1e-6f, 1.0f - Max3(t));
    return t * (k / exposure);
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

std::vector<AxisTaps> MakeTaps(uint32_t out_size, uint32_t in_size, float in_per_out, float out_per_in,
                               float jitter) {
    std::vector<AxisTaps> taps(out_size);
    for (uint32_t o = 0; o < out_size; ++o) {
        // Position in sample space, where the sample of input pixel i lies at i + 0.5.
        const float u = (o + 0.5f) * in_per_out - jitter;
        const auto n = static_cast<int64_t>(std::floor(u));
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

// The geometry shared by the passes.
struct Frame {
    uint32_t in_w, in_h, out_w, out_h;
    float in_per_out_x, in_per_out_y;  // input pixels per output pixel
    float out_per_in_x, out_per_in_y;
    std::vector<uint32_t> input_x, input_y;  // the input pixel under each output column and row
    std::vector<AxisTaps> columns, rows;     // this frame's reconstruction taps
};

void PrepareColor(const FrameSettings& s, const FrameInputs& in, const Frame& f, Scratch& scratch,
                  const Intermediates& work) {
    scratch.color.resize(static_cast<size_t>(f.in_w) * f.in_h);
    ForRows(f.in_h, [&](uint32_t y) {
        Float4* out = scratch.color.data() + static_cast<size_t>(y) * f.in_w;
        for (uint32_t x = 0; x < f.in_w; ++x) {
            const Half4& c = in.color.Clamped(int64_t{s.color_base_x} + x, int64_t{s.color_base_y} + y);
            const Rgb t = ToneMap({Clean(c.r), Clean(c.g), Clean(c.b)}, s.exposure, s.ldr);
            out[x] = {t.r, t.g, t.b, static_cast<float>(c.a)};
            if (!work.luminance.empty()) work.luminance.At(x, y) = Imath::half(Luminance(t));
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

void DilateMotion(const FrameSettings& s, const FrameInputs& in, const Frame& f, const Intermediates& work) {
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
                const auto* centre = reinterpret_cast<const std::byte*>(&in.depth.At(static_cast<uint32_t>(depth_x),
                                                                                    static_cast<uint32_t>(depth_y)));
                NearestSurface(s.inverted_depth, [&](int dx, int dy) {
                    return reinterpret_cast<const float*>(centre + dy * static_cast<int64_t>(pitch))[dx];
                }, best_dx, best_dy);
            } else if (use_depth) {
                NearestSurface(s.inverted_depth, [&](int dx, int dy) {
                    return in.depth.Clamped(depth_x + dx, depth_y + dy);
                }, best_dx, best_dy);
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
            if (!work.motion.empty()) work.motion.At(x, y) = {Imath::half(vx), Imath::half(vy)};
            work.motion_output.At(x, y) = {vx * f.out_per_in_x, vy * f.out_per_in_y};
        }
    });
}

// Catmull-Rom weights of the four taps around a sample at fraction t.
inline void CatmullRom(float t, float w[4]) {
    const float t2 = t * t, t3 = t2 * t;
    w[0] = 0.5f * (-t3 + 2 * t2 - t);
    w[1] = 0.5f * (3 * t3 - 5 * t2 + 2);
    w[2] = 0.5f * (-3 * t3 + 4 * t2 + t);
    w[3] = 0.5f * (t3 - t2);
}

// Bicubic resampling keeps the history sharp while it moves by fractions of
// a pixel every frame; bilinear resampling would blur it a little each time.
Float4 SampleHistory(const ImageView<Float4>& history, float x, float y) {
    const float fx = std::floor(x), fy = std::floor(y);
    float wx[4], wy[4];
    CatmullRom(x - fx, wx);
    CatmullRom(y - fy, wy);
    const auto ix = static_cast<int64_t>(fx) - 1, iy = static_cast<int64_t>(fy) - 1;
    Float4 sum{0, 0, 0, 0};
    if (ix >= 0 && iy >= 0 && ix + 3 < history.width && iy + 3 < history.height) {
        // Inside the image, as nearly every pixel is: no clamping per tap, and
        // the four channels of a pixel in one vector.
        const __m128 wx0 = _mm_set1_ps(wx[0]), wx1 = _mm_set1_ps(wx[1]), wx2 = _mm_set1_ps(wx[2]),
                     wx3 = _mm_set1_ps(wx[3]);
        __m128 total = _mm_setzero_ps();
        for (int j = 0; j < 4; ++j) {
            const float* row = &history.Row(static_cast<uint32_t>(iy + j))[ix].r;
            __m128 line = _mm_mul_ps(_mm_loadu_ps(row), wx0);
            line = _mm_add_ps(line, _mm_mul_ps(_mm_loadu_ps(row + 4), wx1));
            line = _mm_add_ps(line, _mm_mul_ps(_mm_loadu_ps(row + 8), wx2));
            line = _mm_add_ps(line, _mm_mul_ps(_mm_loadu_ps(row + 12), wx3));
            total = _mm_add_ps(total, _mm_mul_ps(line, _mm_set1_ps(wy[j])));
        }
        // The cubic overshoots at edges; colour and weight stay non-negative.
        _mm_storeu_ps(&sum.r, _mm_max_ps(total, _mm_setzero_ps()));
        return sum;
    }
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) {
            const Float4& h = history.Clamped(ix + i, iy + j);
            const float w = wx[i] * wy[j];
            sum.r += w * h.r;
            sum.g += w * h.g;
            sum.b += w * h.b;
            sum.a += w * h.a;
        }
    }
    // The cubic overshoots at edges; colour and weight stay non-negative.
    return {std::max(sum.r, 0.0f), std::max(sum.g, 0.0f), std::max(sum.b, 0.0f), std::max(sum.a, 0.0f)};
}

float DepthAt(const FrameSettings& s, const ImageView<const float>& depth, uint32_t x, uint32_t y) {
    return depth.Clamped(int64_t{s.depth_base_x} + x, int64_t{s.depth_base_y} + y);
}

// A surface that was hidden in the last frame has no history: its depth then
// differs from the depth the motion points back to.
bool Disoccluded(float current, float previous) {
    return std::fabs(current - previous) > 0.1f * std::max(std::fabs(current), std::fabs(previous)) + 1e-4f;
}

void ReprojectHistory(const FrameSettings& s, const FrameInputs& in, const Frame& f, const Intermediates& work) {
    const bool test_depth = s.has_depth && !in.depth.empty() && !work.previous_depth.empty();
    ForRows(f.out_h, [&](uint32_t oy) {
        const uint32_t iy = f.input_y[oy];
        Float4* out = work.reprojected_history.Row(oy);
        for (uint32_t ox = 0; ox < f.out_w; ++ox) {
            const uint32_t ix = f.input_x[ox];
            const Float2 m = work.motion_output.At(ix, iy);
            const float px = ox + 0.5f + m.x, py = oy + 0.5f + m.y;
            bool valid = !s.reset && px >= 0.0f && py >= 0.0f && px <= f.out_w && py <= f.out_h;
            if (valid && test_depth) {
                const float previous = work.previous_depth.Clamped(static_cast<int64_t>(px * f.in_per_out_x),
                                                                   static_cast<int64_t>(py * f.in_per_out_y));
                valid = !Disoccluded(DepthAt(s, in.depth, ix, iy), previous);
            }
            out[ox] = valid ? SampleHistory(work.history_full, px - 0.5f, py - 0.5f) : Float4{0, 0, 0, 0};
        }
    });
}

void KeepDepth(const FrameSettings& s, const FrameInputs& in, const Frame& f, const Intermediates& work) {
    if (!s.has_depth || in.depth.empty() || work.previous_depth.empty()) return;
    ForRows(f.in_h, [&](uint32_t y) {
        for (uint32_t x = 0; x < f.in_w; ++x) work.previous_depth.At(x, y) = DepthAt(s, in.depth, x, y);
    });
}

// Forward splatting: every sample adds itself to the four output pixels
// around its position with bilinear weights.
void SplatSamples(const FrameSettings& s, const Frame& f, const Scratch& scratch, const Intermediates& work) {
    for (uint32_t oy = 0; oy < f.out_h; ++oy) {
        std::memset(static_cast<void*>(work.splat_accumulation.Row(oy)), 0, sizeof(Float4) * f.out_w);
    }
    for (uint32_t j = 0; j < f.in_h; ++j) {
        for (uint32_t i = 0; i < f.in_w; ++i) {
            const Float4& c = scratch.color[static_cast<size_t>(j) * f.in_w + i];
            const float qx = (i + 0.5f + s.jitter_x) * f.out_per_in_x - 0.5f;
            const float qy = (j + 0.5f + s.jitter_y) * f.out_per_in_y - 0.5f;
            const float fx = std::floor(qx), fy = std::floor(qy);
            const float ax = qx - fx, ay = qy - fy;
            const float weights[4] = {(1 - ax) * (1 - ay), ax * (1 - ay), (1 - ax) * ay, ax * ay};
            for (int k = 0; k < 4; ++k) {
                const int64_t ox = static_cast<int64_t>(fx) + (k & 1), oy = static_cast<int64_t>(fy) + (k >> 1);
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
    Rgb current;        // this frame's reconstruction
    float weight;       // how much of this frame's samples it rests on
    Rgb low, high;      // colour range of the nearby samples
    float alpha;
};

Neighbourhood Gather(const FrameSettings& s, const Frame& f, const Scratch& scratch, const Intermediates& work,
                     uint32_t ox, uint32_t oy) {
    const AxisTaps& column = f.columns[ox];
    const AxisTaps& row_taps = f.rows[oy];
    const float inv_r2 = 1.0f / (kKernelRadius * kKernelRadius);
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
    n.current = {lanes[0][0], lanes[0][1], lanes[0][2]};
    n.low = {lanes[1][0], lanes[1][1], lanes[1][2]};
    n.high = {lanes[2][0], lanes[2][1], lanes[2][2]};
    const Float4& nearest = scratch.color[static_cast<size_t>(row_taps.nearest) * f.in_w + column.nearest];
    n.alpha = nearest.a;
    if (s.model == Model::kSplat) {
        const Float4& acc = work.splat_accumulation.At(ox, oy);
        n.current = {acc.r, acc.g, acc.b};
        n.weight = acc.a;
    }
    if (n.weight < kMinSampleWeight) {
        n.current = {nearest.r, nearest.g, nearest.b};
        n.weight = kMinSampleWeight;
    } else {
        n.current = n.current * (1.0f / n.weight);
    }
    return n;
}

inline float Clamp(float v, float low, float high) { return std::min(std::max(v, low), high); }

// Without depth, disocclusions show only in colour: history outside this
// frame's local colour range is stale, is pulled into it and trusted less the
// further it had to move. With depth the reprojection already dropped them,
// and thin features that this frame's samples missed keep their history.
Rgb Rectified(const Float4& h, const Neighbourhood& n, float& history_weight) {
    const Rgb rectified{Clamp(h.r, n.low.r, n.high.r), Clamp(h.g, n.low.g, n.high.g), Clamp(h.b, n.low.b, n.high.b)};
    const float moved =
        Max3({std::fabs(rectified.r - h.r), std::fabs(rectified.g - h.g), std::fabs(rectified.b - h.b)});
    const float range = Max3({n.high.r - n.low.r, n.high.g - n.low.g, n.high.b - n.low.b}) + 1e-3f;
    history_weight *= Clamp(1.0f - moved / range, 0.0f, 1.0f);
    return rectified;
}

void Accumulate(const FrameSettings& s, const FrameInputs& in, const Frame& f, const Scratch& scratch,
                const Intermediates& work, const ImageView<Half4>& output) {
    const bool has_mask = !in.responsive_mask.empty();
    const bool rectify = !(s.has_depth && !in.depth.empty());
    ForRows(f.out_h, [&](uint32_t oy) {
        const uint32_t iy = f.input_y[oy];
        for (uint32_t ox = 0; ox < f.out_w; ++ox) {
            const Neighbourhood n = Gather(s, f, scratch, work, ox, oy);
            const Float4 h = work.reprojected_history.At(ox, oy);
            float history_weight = std::min(h.a, kMaxHistoryWeight);

            const Rgb rectified = rectify ? Rectified(h, n, history_weight) : Rgb{h.r, h.g, h.b};
            if (has_mask) {
                const uint32_t ix = f.input_x[ox];
                history_weight *= 1.0f - in.responsive_mask.Clamped(ix, iy) / 255.0f;
            }

            const float total = history_weight + n.weight;
            const Rgb blended = (rectified * history_weight + n.current * n.weight) * (1.0f / total);
            const float accumulated = std::min(total, kMaxHistoryWeight);
            work.history_full.At(ox, oy) = {blended.r, blended.g, blended.b, accumulated};
            StoreHalf4(work.history.At(ox, oy), blended.r, blended.g, blended.b, accumulated);
            work.reconstruction_weight.At(ox, oy) = n.weight;
            if (!work.history_packed.empty()) {
                work.history_packed.At(ox, oy) = PackR11G11B10(blended.r, blended.g, blended.b);
            }
            const Rgb color = InverseToneMap(blended, s.exposure, s.ldr);
            StoreHalf4(output.At(ox, oy), color.r, color.g, color.b, n.alpha);
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

void UpscaleFrame(const FrameSettings& s, const FrameInputs& inputs, const Intermediates& work, Scratch& scratch,
                  const ImageView<Half4>& output) {
    Frame f{};
    f.in_w = std::max(1u, s.input_width);
    f.in_h = std::max(1u, s.input_height);
    f.out_w = output.width;
    f.out_h = output.height;
    f.in_per_out_x = static_cast<float>(f.in_w) / f.out_w;
    f.in_per_out_y = static_cast<float>(f.in_h) / f.out_h;
    f.out_per_in_x = 1.0f / f.in_per_out_x;
    f.out_per_in_y = 1.0f / f.in_per_out_y;
    for (uint32_t ox = 0; ox < f.out_w; ++ox) f.input_x.push_back(InputIndex((ox + 0.5f) * f.in_per_out_x, f.in_w));
    for (uint32_t oy = 0; oy < f.out_h; ++oy) f.input_y.push_back(InputIndex((oy + 0.5f) * f.in_per_out_y, f.in_h));
    f.columns = MakeTaps(f.out_w, f.in_w, f.in_per_out_x, f.out_per_in_x, s.jitter_x);
    f.rows = MakeTaps(f.out_h, f.in_h, f.in_per_out_y, f.out_per_in_y, s.jitter_y);

    PrepareColor(s, inputs, f, scratch, work);
    DilateMotion(s, inputs, f, work);
    ReprojectHistory(s, inputs, f, work);
    if (s.model == Model::kSplat) SplatSamples(s, f, scratch, work);
    Accumulate(s, inputs, f, scratch, work, output);
    KeepDepth(s, inputs, f, work);
}

}  // namespace kavo
