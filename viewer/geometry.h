#pragma once

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

// The largest picture that fits the window without distortion, centred. Invalid for empty sizes.
PictureGeometry fitPicture(const QSize& surface, const QSize& window);

// The surface pixel under a window point: (p - offset) × scale, truncated toward zero.
QPoint windowToSurface(const QPoint& p, const PictureGeometry& geometry);

// Window rectangles to repaint for a region of changed surface pixels; none while the geometry is unusable.
QVector<QRect> repaintRects(const QRegion& dirty, const PictureGeometry& geometry);
