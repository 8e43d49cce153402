#include "surface_format.h"

#include <algorithm>

namespace
{

// The SPICE surface formats the viewer can show; every other code is shown black.
struct SurfaceFormat {
    int code;
    int32_t bytesPerPixel;
};
constexpr SurfaceFormat kSurfaceFormats[] = {
    {32, 4}, // 32_xRGB
    {96, 4}, // 32_ARGB
    {16, 2}, // 16_555
    {80, 2}, // 16_565
};

const SurfaceFormat* findSurfaceFormat(int code)
{
    for (const SurfaceFormat& format : kSurfaceFormats)
        if (format.code == code)
            return &format;
    return nullptr;
}

} // namespace

int32_t bytesPerPixel(int format)
{
    const SurfaceFormat* known = findSurfaceFormat(format);
    return known ? known->bytesPerPixel : 0;
}

SurfaceLayout surfaceLayout(int format, int width, int height, int stride)
{
    SurfaceLayout layout;
    layout.bytesPerPixel = bytesPerPixel(format);
    if (width <= 0 || height <= 0 || stride <= 0) {
        layout.status = SurfaceLayout::EmptySize;
        return layout;
    }
    uint64_t size = uint64_t(uint32_t(height)) * uint64_t(uint32_t(stride));
    if (size > kMaxSurfaceBytes) {
        layout.status = SurfaceLayout::TooLarge;
        return layout;
    }
    layout.blockSize = size_t(size);
    if (layout.bytesPerPixel == 0) {
        // Still given a block, so the picture can be shown black; its pixels are never read.
        layout.status = SurfaceLayout::Ok;
        return layout;
    }
    if (uint64_t(uint32_t(width)) * uint64_t(layout.bytesPerPixel) > uint64_t(uint32_t(stride))) {
        layout.status = SurfaceLayout::StrideTooSmall;
        layout.blockSize = 0;
        return layout;
    }
    layout.status = SurfaceLayout::Ok;
    return layout;
}

const char* surfaceLayoutError(SurfaceLayout::Status status)
{
    switch (status) {
    case SurfaceLayout::Ok:
        return "ok";
    case SurfaceLayout::EmptySize:
        return "empty or negative size";
    case SurfaceLayout::StrideTooSmall:
        return "rows shorter than their pixels";
    case SurfaceLayout::TooLarge:
        return "surface too large";
    }
    return "invalid";
}

Rect clipToSurface(int x, int y, int width, int height, int surfaceWidth, int surfaceHeight)
{
    // 64-bit intermediates: a huge rectangle must not wrap around into a small one.
    int64_t x0 = std::max<int64_t>(x, 0);
    int64_t y0 = std::max<int64_t>(y, 0);
    int64_t w = std::min<int64_t>(width, int64_t(surfaceWidth) - x0);
    int64_t h = std::min<int64_t>(height, int64_t(surfaceHeight) - y0);
    auto clamp32 = [](int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); };
    return Rect{clamp32(x0), clamp32(y0), clamp32(w), clamp32(h)};
}
