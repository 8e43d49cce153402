#include "scaler.h"

#include <pixman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#include <immintrin.h>
#endif

namespace
{

struct PixmanImageUnref {
    void operator()(pixman_image_t* image) const { pixman_image_unref(image); }
};
using PixmanImage = std::unique_ptr<pixman_image_t, PixmanImageUnref>;

// pixman hands filter parameters out from malloc.
struct PixmanParamsFree {
    void operator()(pixman_fixed_t* params) const { std::free(params); }
};
using PixmanParams = std::unique_ptr<pixman_fixed_t, PixmanParamsFree>;

// pixman rounds each sampling position to the centre of one of 2^bits sub-pixel phases. 16 phases (error
// at most 1/32 pixel) are plenty for the area average of a shrinking axis; an interpolating axis gets 64,
// close to the precision of pixman's own bilinear weights.
constexpr int kShrinkPhaseBits = 4;
constexpr int kInterpolatePhaseBits = 6;

// pixman rounds each 2-D weight (x weight times y weight) to 1/65536. With at most 256 taps the rounding
// errors add up to under half a colour step, so a flat colour stays exact; with thousands of taps (a whole
// screen shrunk to a thumbnail) colours drift and at the extreme go black. So the box never spans more
// than 15 source pixels per axis: past 15x reduction some source pixels are skipped, which a picture that
// small does not show.
constexpr double kMaxBoxWidth = 15.0;

// Slack for pixman's own rounding of the sampling position (a few 1/65536 of a pixel).
constexpr double kPositionSlack = 1.0 / 256.0;

// One axis of the mapping from target to source. The step is the one pixman walks with, so the footprint
// computed from it is the one pixman actually samples.
struct Axis {
    pixman_fixed_t step = pixman_fixed_1; // source pixels per target pixel
    bool shrinks() const { return step > pixman_fixed_1; }
    bool identity() const { return step == pixman_fixed_1; }
};

Axis axisFor(int sourceLength, int targetLength)
{
    // Clamped to what 16.16 can hold; only absurd ratios (over 32768:1 either way) reach the limits.
    const int64_t step = ((static_cast<int64_t>(sourceLength) << 16) + targetLength / 2) / targetLength;
    Axis axis;
    axis.step = static_cast<pixman_fixed_t>(std::clamp<int64_t>(step, 1, INT32_MAX));
    return axis;
}

// Weights of the separable path: 1 << kWeightBits is one whole, so that a weight and a pixel
// channel (or an intermediate value below 1 << 15) multiply within 16-bit lanes into 32 bits.
constexpr int kWeightBits = 14;
// The intermediate (vertical) sums keep this many bits below a colour step.
constexpr int kMidBits = 7;

struct Filter {
    std::vector<pixman_fixed_t> params; // empty: plain bilinear
    // Per axis: taps read around the sampling position, and the sub-pixel phase width (0 for bilinear).
    int width[2] = {2, 2};
    double phase[2] = {0.0, 0.0};
    // pixman's tables again, per axis and phase, in kWeightBits, each phase summing to one whole:
    // what the separable path multiplies with. Empty when they cannot be made.
    int phaseBits[2] = {0, 0};
    std::vector<int16_t> weights[2];
    // The same, two taps to an int32 (low half the first), as the SIMD code multiplies them.
    std::vector<int32_t> pairs[2];
};

// Packs each phase's weights two by two; an odd last one gets a zero partner.
std::vector<int32_t> pairUp(const std::vector<int16_t>& weights, int width)
{
    const int pairCount = (width + 1) / 2;
    const size_t phases = weights.size() / size_t(width);
    std::vector<int32_t> pairs(phases * size_t(pairCount));
    for (size_t p = 0; p < phases; ++p)
        for (int j = 0; j < pairCount; ++j) {
            const int16_t* w = weights.data() + p * size_t(width) + 2 * j;
            const uint32_t second = 2 * j + 1 < width ? uint16_t(w[1]) : 0;
            pairs[p * size_t(pairCount) + size_t(j)] = int32_t(uint32_t(uint16_t(w[0])) | (second << 16));
        }
    return pairs;
}

// pixman's weights (16.16, each phase summing to 1.0) rounded to kWeightBits, the rounding error
// put on the largest weight so that each phase still sums to exactly one whole: a flat colour
// stays exact. False when a weight is negative or does not fit.
bool makeWeights(const pixman_fixed_t* table, int width, int phases, std::vector<int16_t>& out)
{
    out.resize(size_t(width) * size_t(phases));
    for (int p = 0; p < phases; ++p) {
        const pixman_fixed_t* in = table + p * width;
        int16_t* w = out.data() + p * width;
        int sum = 0, largest = 0;
        for (int j = 0; j < width; ++j) {
            if (in[j] < 0 || in[j] > pixman_fixed_1)
                return false;
            w[j] = int16_t((in[j] + (1 << (15 - kWeightBits))) >> (16 - kWeightBits));
            sum += w[j];
            if (w[j] > w[largest])
                largest = j;
        }
        const int fixed = w[largest] + (1 << kWeightBits) - sum;
        if (fixed < 0 || fixed > (1 << kWeightBits))
            return false;
        w[largest] = int16_t(fixed);
    }
    return true;
}

// Bilinear is pixman's fast path and right for enlargement, but it reads only 2x2 pixels, so shrinking
// with it would skip source pixels and alias (text and thin lines break up). A shrinking axis therefore
// uses box reconstruction convolved with a box one target pixel wide: each target pixel is the area
// average of the source it covers, smooth without blurring beyond one target pixel. In that mode an
// enlarging axis gets linear reconstruction sampled at a point (bilinear on that axis), and an unscaled
// axis nearest-pixel, which is exact there despite the phase rounding.
Filter makeFilter(const Axis& x, const Axis& y)
{
    Filter filter;
    if (!x.shrinks() && !y.shrinks())
        return filter;
    auto kernelScale = [](const Axis& a) { return std::min(a.step, pixman_double_to_fixed(kMaxBoxWidth)); };
    auto reconstruct = [](const Axis& a) {
        return a.shrinks() || a.identity() ? PIXMAN_KERNEL_BOX : PIXMAN_KERNEL_LINEAR;
    };
    auto sample = [](const Axis& a) { return a.shrinks() ? PIXMAN_KERNEL_BOX : PIXMAN_KERNEL_IMPULSE; };
    auto phaseBits = [](const Axis& a) { return a.shrinks() ? kShrinkPhaseBits : kInterpolatePhaseBits; };
    int count = 0;
    PixmanParams params(pixman_filter_create_separable_convolution(&count, kernelScale(x), kernelScale(y),
                                                                   reconstruct(x), reconstruct(y), sample(x),
                                                                   sample(y), phaseBits(x), phaseBits(y)));
    if (!params || count < 4)
        return filter; // out of memory: bilinear stands in, and being cached every region still agrees
    filter.params.assign(params.get(), params.get() + count);
    // The layout of the parameters is pixman's public one: width, height, x and y phase bits, tables.
    for (int axis = 0; axis < 2; ++axis) {
        filter.width[axis] = pixman_fixed_to_int(filter.params[axis]);
        filter.phaseBits[axis] = pixman_fixed_to_int(filter.params[2 + axis]);
        filter.phase[axis] = 1.0 / (1 << filter.phaseBits[axis]);
    }
    const pixman_fixed_t* xTable = filter.params.data() + 4;
    const pixman_fixed_t* yTable = xTable + (filter.width[0] << filter.phaseBits[0]);
    if (!makeWeights(xTable, filter.width[0], 1 << filter.phaseBits[0], filter.weights[0]) ||
        !makeWeights(yTable, filter.width[1], 1 << filter.phaseBits[1], filter.weights[1])) {
        filter.weights[0].clear();
        filter.weights[1].clear();
        return filter;
    }
    for (int axis = 0; axis < 2; ++axis)
        filter.pairs[axis] = pairUp(filter.weights[axis], filter.width[axis]);
    return filter;
}

// The viewer scales between the same two sizes frame after frame, so the tables are built once per size.
const Filter& filterFor(const Axis& x, const Axis& y)
{
    struct Cached {
        pixman_fixed_t stepX = 0, stepY = 0;
        Filter filter;
    };
    thread_local Cached cached;
    if (cached.stepX != x.step || cached.stepY != y.step) {
        cached.filter = makeFilter(x, y);
        cached.stepX = x.step;
        cached.stepY = y.step;
    }
    return cached.filter;
}

bool applyFilter(pixman_image_t* image, const Axis& x, const Axis& y)
{
    const Filter& filter = filterFor(x, y);
    if (filter.params.empty())
        return pixman_image_set_filter(image, PIXMAN_FILTER_BILINEAR, nullptr, 0);
    return pixman_image_set_filter(image, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, filter.params.data(),
                                   static_cast<int>(filter.params.size()));
}

bool isXrgb32Layout(QImage::Format format)
{
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32 ||
           format == QImage::Format_ARGB32_Premultiplied;
}

PixmanImage wrap(pixman_format_code_t format, const QImage& image, const uchar* bits)
{
    // pixman never writes to a source image; the cast only meets its signature.
    auto* pixels = reinterpret_cast<uint32_t*>(const_cast<uchar*>(bits));
    return PixmanImage(pixman_image_create_bits(format, image.width(), image.height(), pixels,
                                                static_cast<int>(image.bytesPerLine())));
}

// Target indices [first, last] whose sampling reads any of source pixels [begin, end). Sampling at c reads
// the `width` pixels from floor(c' - (width - 1) / 2), c' being c rounded to its phase centre (bilinear:
// width 2, no phases). So pixel i is read when c lies within i - R .. i + 1 + R, R as below.
void affectedRange(int begin, int end, const Axis& axis, int width, double phase, int targetLength,
                   int* first, int* last)
{
    const double step = axis.step / 65536.0;
    const double reach = (width - 1) / 2.0 + phase / 2.0 + kPositionSlack;
    // Target pixel t samples at c(t) = (t + 0.5) * step.
    *first = std::max(0, static_cast<int>(std::ceil((begin - reach) / step - 0.5)));
    *last = std::min(targetLength - 1, static_cast<int>(std::floor((end + reach) / step - 0.5)));
}

// Shrinking through pixman's convolution fetches every tap of every target pixel one by one (16
// taps at 2.4x, about 13 ms for a 1920x1080 screen into 800x450): a full-screen animation in a
// small window cost more than everything else the viewer does. The same filter is applied here as
// two passes, vertical then horizontal, on all four channels at once. It reads the same source
// pixels with pixman's weights (rounded to kWeightBits), so the picture is the same to within a
// rounding step and affectedRange() holds for both. Every target pixel is still computed from the
// source alone, so rectangles patch seamlessly.

// Where target pixel t samples along one axis: the first of the `width` source pixels it reads
// and the phase whose weights apply. pixman's arithmetic: the pixel centre through a scale-only
// transform, rounded to the centre of its phase.
struct Tap {
    int first = 0;
    int phase = 0;
};

Tap tapFor(int t, const Axis& axis, int width, int phaseBits)
{
    const int64_t step = axis.step;
    const int64_t position = int64_t(t) * step + (step + 1) / 2;
    const int shift = 16 - phaseBits;
    const int64_t centred = ((position >> shift) << shift) + ((int64_t(1) << shift) >> 1);
    const int64_t offset = ((int64_t(width) << 16) - pixman_fixed_1) >> 1;
    Tap tap;
    tap.phase = int((centred & 0xffff) >> shift);
    tap.first = int((centred - pixman_fixed_e - offset) >> 16); // floor, as pixman_fixed_to_int
    return tap;
}

// On x86-64 Linux with GCC the passes are also built for AVX2 (twice the width) and picked at run
// time. Where AVX is there, the 128-bit code runs in its VEX encoding: legacy SSE instructions slow
// down severalfold while another library has left the upper vector halves dirty, as happened in
// the viewer process (6.3 ms against 1.7 ms for the same scale).
#if defined(__SSE2__) && defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define SCALER_X86_DISPATCH 1
#define SCALER_VEX_CLONE __attribute__((target_clones("avx", "default")))
#else
#define SCALER_VEX_CLONE
#endif

constexpr int kMidShift = kWeightBits - kMidBits;

// Widest vectors the passes may use; lowered only to test the narrower code on machines with wider.
std::atomic<int> vectorWidthLimit{256};
constexpr int kOutShift = kWeightBits + kMidBits;

#if defined(SCALER_X86_DISPATCH)
bool hasAvx2()
{
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

// The vertical pass 32 bytes at a time; returns how many bytes it did. The unpacking works within
// each 128-bit half, so the two halves of the result are put back in order before the store.
__attribute__((target("avx2"))) int verticalAvx2(const uchar* const* rows, const int32_t* pairs, int taps,
                                                 int bytes, int16_t* mid)
{
    const int pairCount = (taps + 1) / 2;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i round = _mm256_set1_epi32(1 << (kMidShift - 1));
    int k = 0;
    for (; k + 32 <= bytes; k += 32) {
        __m256i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
        for (int i = 0; i < pairCount; ++i) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[2 * i] + k));
            const __m256i b = 2 * i + 1 < taps
                                  ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[2 * i + 1] + k))
                                  : zero;
            const __m256i w = _mm256_set1_epi32(pairs[i]);
            const __m256i lo = _mm256_unpacklo_epi8(a, b);
            const __m256i hi = _mm256_unpackhi_epi8(a, b);
            acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(_mm256_unpacklo_epi8(lo, zero), w));
            acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(_mm256_unpackhi_epi8(lo, zero), w));
            acc2 = _mm256_add_epi32(acc2, _mm256_madd_epi16(_mm256_unpacklo_epi8(hi, zero), w));
            acc3 = _mm256_add_epi32(acc3, _mm256_madd_epi16(_mm256_unpackhi_epi8(hi, zero), w));
        }
        acc0 = _mm256_srai_epi32(_mm256_add_epi32(acc0, round), kMidShift);
        acc1 = _mm256_srai_epi32(_mm256_add_epi32(acc1, round), kMidShift);
        acc2 = _mm256_srai_epi32(_mm256_add_epi32(acc2, round), kMidShift);
        acc3 = _mm256_srai_epi32(_mm256_add_epi32(acc3, round), kMidShift);
        const __m256i first = _mm256_packs_epi32(acc0, acc1);  // bytes 0-7 | 16-23
        const __m256i second = _mm256_packs_epi32(acc2, acc3); // bytes 8-15 | 24-31
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(mid + k),
                            _mm256_permute2x128_si256(first, second, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(mid + k + 16),
                            _mm256_permute2x128_si256(first, second, 0x31));
    }
    return k;
}

// The horizontal pass two target pixels at a time, one per 128-bit half; returns how many it did.
__attribute__((target("avx2"))) int horizontalAvx2(const int16_t* mid, const Tap* columns,
                                                   const int32_t* pairs, int taps, int count, uint32_t* out)
{
    const int pairCount = (taps + 1) / 2;
    const __m256i round = _mm256_set1_epi32(1 << (kOutShift - 1));
    int x = 0;
    for (; x + 2 <= count; x += 2) {
        const int16_t* p0 = mid + size_t(columns[x].first) * 4;
        const int16_t* p1 = mid + size_t(columns[x + 1].first) * 4;
        const int32_t* w0 = pairs + columns[x].phase * pairCount;
        const int32_t* w1 = pairs + columns[x + 1].phase * pairCount;
        __m256i acc = _mm256_setzero_si256();
        for (int j = 0; j < pairCount; ++j) {
            // Two taps of one pixel per half (the last of an odd count alone, beside zeros), their
            // channels interleaved, times the two weights, added.
            const bool pair = 2 * j + 1 < taps;
            const __m128i v0 = pair ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(p0 + 8 * j))
                                    : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p0 + 8 * j));
            const __m128i v1 = pair ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(p1 + 8 * j))
                                    : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p1 + 8 * j));
            const __m256i v = _mm256_inserti128_si256(_mm256_castsi128_si256(v0), v1, 1);
            const __m256i w = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_set1_epi32(w0[j])),
                                                      _mm_set1_epi32(w1[j]), 1);
            acc = _mm256_add_epi32(acc,
                                   _mm256_madd_epi16(_mm256_unpacklo_epi16(v, _mm256_srli_si256(v, 8)), w));
        }
        acc = _mm256_srai_epi32(_mm256_add_epi32(acc, round), kOutShift);
        const __m256i words = _mm256_packs_epi32(acc, acc);
        const __m256i packed = _mm256_packus_epi16(words, words);
        out[x] = uint32_t(_mm256_extract_epi32(packed, 0)) | 0xff000000u;
        out[x + 1] = uint32_t(_mm256_extract_epi32(packed, 4)) | 0xff000000u;
    }
    return x;
}
#endif

#if defined(__SSE2__)
// The vertical pass 16 bytes at a time from byte `k` on; returns where it stopped. Two rows at a
// time: their bytes interleaved as 16-bit lanes, multiplied by the two weights and added pairwise
// in one step.
SCALER_VEX_CLONE int verticalSse2(const uchar* const* rows, const int32_t* pairs, int taps, int bytes,
                                  int16_t* mid, int k)
{
    const int pairCount = (taps + 1) / 2;
    const __m128i zero = _mm_setzero_si128();
    const __m128i round = _mm_set1_epi32(1 << (kMidShift - 1));
    for (; k + 16 <= bytes; k += 16) {
        __m128i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
        for (int i = 0; i < pairCount; ++i) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2 * i] + k));
            const __m128i b = 2 * i + 1 < taps
                                  ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2 * i + 1] + k))
                                  : zero;
            const __m128i w = _mm_set1_epi32(pairs[i]);
            const __m128i lo = _mm_unpacklo_epi8(a, b);
            const __m128i hi = _mm_unpackhi_epi8(a, b);
            acc0 = _mm_add_epi32(acc0, _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), w));
            acc1 = _mm_add_epi32(acc1, _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), w));
            acc2 = _mm_add_epi32(acc2, _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), w));
            acc3 = _mm_add_epi32(acc3, _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), w));
        }
        acc0 = _mm_srai_epi32(_mm_add_epi32(acc0, round), kMidShift);
        acc1 = _mm_srai_epi32(_mm_add_epi32(acc1, round), kMidShift);
        acc2 = _mm_srai_epi32(_mm_add_epi32(acc2, round), kMidShift);
        acc3 = _mm_srai_epi32(_mm_add_epi32(acc3, round), kMidShift);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(mid + k), _mm_packs_epi32(acc0, acc1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(mid + k + 8), _mm_packs_epi32(acc2, acc3));
    }
    return k;
}

// The horizontal pass one target pixel at a time from pixel `x` on.
SCALER_VEX_CLONE void horizontalSse2(const int16_t* mid, const Tap* columns, const int32_t* pairs, int taps,
                                     int count, uint32_t* out, int x)
{
    const int pairCount = (taps + 1) / 2;
    const __m128i round = _mm_set1_epi32(1 << (kOutShift - 1));
    for (; x < count; ++x) {
        const int16_t* p = mid + size_t(columns[x].first) * 4;
        const int32_t* w = pairs + columns[x].phase * pairCount;
        __m128i acc = _mm_setzero_si128();
        for (int j = 0; j < pairCount; ++j) {
            const __m128i v = 2 * j + 1 < taps ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8 * j))
                                               : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8 * j));
            acc = _mm_add_epi32(
                acc, _mm_madd_epi16(_mm_unpacklo_epi16(v, _mm_srli_si128(v, 8)), _mm_set1_epi32(w[j])));
        }
        acc = _mm_srai_epi32(_mm_add_epi32(acc, round), kOutShift);
        const __m128i words = _mm_packs_epi32(acc, acc);
        out[x] = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(words, words))) | 0xff000000u;
    }
}
#endif

// Vertical pass for one target row: byte k of the result is the weighted sum of byte k of each of
// `taps` source rows, in 1 / (1 << kMidBits) of a colour step (at most 255 << kMidBits: int16).
void verticalPass(const uchar* const* rows, const int16_t* weights, const int32_t* pairs, int taps, int bytes,
                  int16_t* mid)
{
    int k = 0;
#if defined(SCALER_X86_DISPATCH)
    if (vectorWidthLimit >= 256 && hasAvx2())
        k = verticalAvx2(rows, pairs, taps, bytes, mid);
#endif
#if defined(__SSE2__)
    if (vectorWidthLimit >= 128)
        k = verticalSse2(rows, pairs, taps, bytes, mid, k);
#endif
    (void)pairs;
    // The same sums one byte at a time (the tail, or every byte without SSE2).
    for (; k < bytes; ++k) {
        int32_t sum = 0;
        for (int i = 0; i < taps; ++i)
            sum += int32_t(weights[i]) * rows[i][k];
        mid[k] = int16_t((sum + (1 << (kMidShift - 1))) >> kMidShift);
    }
}

// Horizontal pass for one target row: each target pixel from `taps` consecutive intermediate
// pixels (four values each), starting at its column's first, with its phase's weights. Every pixel
// written is opaque.
void horizontalPass(const int16_t* mid, const Tap* columns, const int16_t* weights, const int32_t* pairs,
                    int taps, int count, uint32_t* out)
{
    int x = 0;
#if defined(SCALER_X86_DISPATCH)
    if (vectorWidthLimit >= 256 && hasAvx2())
        x = horizontalAvx2(mid, columns, pairs, taps, count, out);
#endif
#if defined(__SSE2__)
    if (vectorWidthLimit >= 128) {
        horizontalSse2(mid, columns, pairs, taps, count, out, x);
        return;
    }
#endif
    (void)pairs;
    for (; x < count; ++x) {
        const int16_t* p = mid + size_t(columns[x].first) * 4;
        const int16_t* w = weights + columns[x].phase * taps;
        uchar bytes[4];
        for (int c = 0; c < 4; ++c) {
            int32_t sum = 0;
            for (int j = 0; j < taps; ++j)
                sum += int32_t(w[j]) * p[j * 4 + c];
            bytes[c] = uchar(std::clamp((sum + (1 << (kOutShift - 1))) >> kOutShift, 0, 255));
        }
        uint32_t pixel;
        std::memcpy(&pixel, bytes, 4);
        out[x] = pixel | 0xff000000u;
    }
}

// The shrinking case through the two passes. False when the filter has no tables for it (pixman
// then does it).
bool scaleSeparable(const QImage& src, uchar* targetBits, qsizetype targetStride, const QRect& rect,
                    const Axis& xAxis, const Axis& yAxis, const Filter& filter)
{
    if (filter.weights[0].empty() || filter.weights[1].empty())
        return false;
    const int cw = filter.width[0], ch = filter.width[1];
    const int sw = src.width(), sh = src.height();
    if (cw < 1 || ch < 1 || ch > 64)
        return false;

    std::vector<Tap> columns(size_t(rect.width()));
    for (int i = 0; i < rect.width(); ++i)
        columns[size_t(i)] = tapFor(rect.x() + i, xAxis, cw, filter.phaseBits[0]);
    // Source columns [lo, hi) are read; those outside the picture repeat its edge (pixman's PAD).
    const int lo = columns.front().first;
    const int hi = columns.back().first + cw;
    const int from = std::max(lo, 0), to = std::min(hi, sw);
    if (from >= to)
        return false;
    for (Tap& c : columns)
        c.first -= lo;

    std::vector<int16_t> mid(size_t(hi - lo) * 4);
    int16_t* inside = mid.data() + size_t(from - lo) * 4;
    const uchar* rows[64];
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        const Tap tap = tapFor(y, yAxis, ch, filter.phaseBits[1]);
        for (int i = 0; i < ch; ++i)
            rows[i] = src.constScanLine(std::clamp(tap.first + i, 0, sh - 1)) + size_t(from) * 4;
        verticalPass(rows, filter.weights[1].data() + size_t(tap.phase) * ch,
                     filter.pairs[1].data() + size_t(tap.phase) * size_t((ch + 1) / 2), ch, (to - from) * 4,
                     inside);
        for (int c = lo; c < from; ++c)
            std::memcpy(mid.data() + size_t(c - lo) * 4, inside, 4 * sizeof(int16_t));
        for (int c = to; c < hi; ++c)
            std::memcpy(mid.data() + size_t(c - lo) * 4, mid.data() + size_t(to - 1 - lo) * 4,
                        4 * sizeof(int16_t));
        auto* out = reinterpret_cast<uint32_t*>(targetBits + qsizetype(y) * targetStride) + rect.x();
        horizontalPass(mid.data(), columns.data(), filter.weights[0].data(), filter.pairs[0].data(), cw,
                       rect.width(), out);
    }
    return true;
}

} // namespace

void scaleRegion(const QImage& source, QImage& target, const QRect& targetRect)
{
    if (source.isNull() || target.isNull() || !isXrgb32Layout(target.format()))
        return;
    const QRect rect = targetRect.intersected(target.rect());
    if (rect.isEmpty())
        return;

    const QImage* src = &source;
    QImage converted;
    if (!isXrgb32Layout(source.format())) {
        converted = source.convertToFormat(QImage::Format_RGB32);
        src = &converted;
    } else if (source.bytesPerLine() % 4 != 0) {
        converted = source.copy(); // pixman needs whole-word rows
        src = &converted;
    }

    uchar* targetBits = target.bits(); // detaches a shared target before we write to it
    if (targetBits == src->constBits())
        return; // the same buffer is its own 1:1 copy

    PixmanImage from = wrap(PIXMAN_x8r8g8b8, *src, src->constBits());
    // Declared with alpha so pixman fills it from the alpha-less source: every written pixel is opaque,
    // as Format_RGB32 requires, whatever the source's alpha byte held.
    PixmanImage to = wrap(PIXMAN_a8r8g8b8, target, targetBits);
    if (!from || !to)
        return;

    if (src->size() != target.size()) {
        const Axis x = axisFor(src->width(), target.width());
        const Axis y = axisFor(src->height(), target.height());
        if ((x.shrinks() || y.shrinks()) &&
            scaleSeparable(*src, targetBits, target.bytesPerLine(), rect, x, y, filterFor(x, y)))
            return;
        // Target pixel centre (i + 0.5) maps to source (i + 0.5) * step, so both pictures' edges line up.
        pixman_transform_t transform;
        pixman_transform_init_scale(&transform, x.step, y.step);
        pixman_image_set_transform(from.get(), &transform);
        // Reads past the border repeat the edge pixel instead of black, so edges are not darkened.
        pixman_image_set_repeat(from.get(), PIXMAN_REPEAT_PAD);
        if (!applyFilter(from.get(), x, y))
            return;
    }

    pixman_image_composite32(PIXMAN_OP_SRC, from.get(), nullptr, to.get(), rect.x(), rect.y(), 0, 0, rect.x(),
                             rect.y(), rect.width(), rect.height());
}

QRect affectedTargetRect(const QRect& sourceRect, const QSize& sourceSize, const QSize& targetSize)
{
    if (sourceSize.isEmpty() || targetSize.isEmpty())
        return QRect();
    const QRect changed = sourceRect.intersected(QRect(QPoint(0, 0), sourceSize));
    if (changed.isEmpty())
        return QRect();
    if (sourceSize == targetSize)
        return changed;

    const Axis x = axisFor(sourceSize.width(), targetSize.width());
    const Axis y = axisFor(sourceSize.height(), targetSize.height());
    const Filter& filter = filterFor(x, y);
    int left = 0, right = 0, top = 0, bottom = 0;
    affectedRange(changed.left(), changed.right() + 1, x, filter.width[0], filter.phase[0],
                  targetSize.width(), &left, &right);
    affectedRange(changed.top(), changed.bottom() + 1, y, filter.width[1], filter.phase[1],
                  targetSize.height(), &top, &bottom);
    if (left > right || top > bottom)
        return QRect();
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

void setScalerVectorWidth(int bits)
{
    vectorWidthLimit = bits;
}
