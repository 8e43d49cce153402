#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <QVector>

// Where the scaled picture sits in the window and how window pixels map to surface pixels.
struct PictureGeometry {
    QSize scaledSize; // the surface scaled into the window, aspect ratio kept
    int xOffset = 0;  // window position of the picture's top-left corner
    int yOffset = 0;
    float scaleX = 0; // surface pixels per window pixel
    float scaleY = 0;

    bool isValid() const;
    QRect pictureRect() const { return QRect(QPoint(xOffset, yOffset), scaledSize); }
};

// A picture this many pixels or fewer smaller than the window, in each direction, is shown 1:1
// when the guest follows the window: an agent may round a size (spice-vdagent rounds widths down
// to a multiple of 8), and a rescale by a fraction of a percent only blurs.
constexpr int kSnapPixels = 7;

// The largest picture that fits the window without distortion, centred. Invalid for empty sizes.
// With `snap`, a picture that fits within kSnapPixels of the window is shown 1:1, centred.
PictureGeometry fitPicture(const QSize& surface, const QSize& window, bool snap = false);

// The surface pixel under a window point: (p - offset) × scale, truncated toward zero.
QPoint windowToSurface(const QPoint& p, const PictureGeometry& geometry);

// Window rectangles to repaint for a region of changed surface pixels; none while the geometry is unusable.
QVector<QRect> repaintRects(const QRegion& dirty, const PictureGeometry& geometry);

// The Qt image format that reads a surface of the server's format code (ScreenInitInfo's
// pixelFormat) in place; Format_Invalid for codes the viewer cannot show.
QImage::Format qtImageFormat(int format);
