#pragma once

#include "session_viewer.h"

#include <cstddef>
#include <cstdint>

// Surfaces larger than this are refused: no real display needs a quarter of a gigabyte per screen.
constexpr size_t kMaxSurfaceBytes = size_t(256) * 1024 * 1024;

struct SurfaceLayout {
    enum Status { Ok, EmptySize, StrideTooSmall, TooLarge };
    Status status = EmptySize;
    int32_t bytesPerPixel = 0; // 0 for a format that cannot be shown
    size_t blockSize = 0;      // height × stride, computed without overflow
};

// Bytes per pixel of a SPICE surface format code, 0 for codes the viewer cannot show.
int32_t bytesPerPixel(int format);

// Checks a surface description before anything is allocated or copied for it.
SurfaceLayout surfaceLayout(int format, int width, int height, int stride);
const char* surfaceLayoutError(SurfaceLayout::Status status);

// Clips a changed rectangle to the surface: left and top clamp at 0, right and bottom are cut.
Rect clipToSurface(int x, int y, int width, int height, int surfaceWidth, int surfaceHeight);
