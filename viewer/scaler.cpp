#include "scaler.h"

#include <pixman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

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

struct Filter {
    std::vector<pixman_fixed_t> params; // empty: plain bilinear
    // Per axis: taps read around the sampling position, and the sub-pixel phase width (0 for bilinear).
    int width[2] = {2, 2};
    double phase[2] = {0.0, 0.0};
};

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
        filter.phase[axis] = 1.0 / (1 << pixman_fixed_to_int(filter.params[2 + axis]));
    }
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
