#pragma once

#include <QImage>
#include <QRect>
#include <QSize>

// Smooth scaling of a whole surface picture into a picture of another size (the caller picks that size,
// keeping the aspect ratio), one rectangle of the result at a time. Every result pixel depends only on the
// source pixels and the two sizes, so updating any set of rectangles gives the same bytes as scaling
// everything at once.

// Scales the whole of `source` to `target.size()` but writes only the pixels of `target` inside `targetRect`
// (clipped to the target). source: Format_RGB32 or ARGB32 (alpha ignored), any bytesPerLine; other formats
// are converted first. target: Format_RGB32; a null/empty picture or an empty rectangle does nothing.
void scaleRegion(const QImage& source, QImage& target, const QRect& targetRect);

// The target-picture rectangle whose pixels depend on the source rectangle (filter footprint included),
// clipped to the target. Empty when nothing in the target depends on it.
QRect affectedTargetRect(const QRect& sourceRect, const QSize& sourceSize, const QSize& targetSize);

// Caps the vector width the scaler may use: 256 (the default: AVX2 where the processor has it), 128
// (SSE2) or 0 (plain code). Every width gives the same bytes; lowering it is for tests and benchmarks.
void setScalerVectorWidth(int bits);
