#include "geometry.h"

#include <cmath>

bool PictureGeometry::isValid() const
{
    return !scaledSize.isEmpty() && std::isfinite(scaleX) && std::isfinite(scaleY) && scaleX > 0 &&
           scaleY > 0;
}

PictureGeometry fitPicture(const QSize& surface, const QSize& window, bool snap)
{
    PictureGeometry geometry;
    if (surface.isEmpty() || window.isEmpty())
        return geometry;
    const QSize spare = window - surface;
    const bool oneToOne = snap && spare.width() >= 0 && spare.height() >= 0 && spare.width() <= kSnapPixels &&
                          spare.height() <= kSnapPixels;
    geometry.scaledSize = oneToOne ? surface : surface.scaled(window, Qt::KeepAspectRatio);
    if (geometry.scaledSize.isEmpty())
        return PictureGeometry{};
    geometry.xOffset = (window.width() - geometry.scaledSize.width()) / 2;
    geometry.yOffset = (window.height() - geometry.scaledSize.height()) / 2;
    geometry.scaleX = float(surface.width()) / float(geometry.scaledSize.width());
    geometry.scaleY = float(surface.height()) / float(geometry.scaledSize.height());
    return geometry;
}

QPoint windowToSurface(const QPoint& p, const PictureGeometry& geometry)
{
    float x = float(p.x()) * geometry.scaleX - float(geometry.xOffset) * geometry.scaleX;
    float y = float(p.y()) * geometry.scaleY - float(geometry.yOffset) * geometry.scaleY;
    return QPoint(int(x), int(y));
}

QVector<QRect> repaintRects(const QRegion& dirty, const PictureGeometry& geometry)
{
    QVector<QRect> result;
    if (dirty.isEmpty() || !geometry.isValid())
        return result;
    const float sx = geometry.scaleX;
    const float sy = geometry.scaleY;
    const float xo = float(geometry.xOffset);
    const float yo = float(geometry.yOffset);
    if (dirty.rectCount() < 16) {
        for (const QRect& r : dirty) {
            int x = int(xo + float(r.x()) / sx);
            int y = int(yo + float(r.y()) / sy);
            int w = int(float(r.width()) / sx + 1);
            int h = int(float(r.height()) / sy + 1);
            result.append(QRect(x - 1, y - 1, w + 2, h + 2));
        }
    } else {
        QRect r = dirty.boundingRect();
        result.append(QRect(int(float(r.x()) / sx + xo), int(float(r.y()) / sy + yo),
                            int(float(r.width()) / sx + 2), int(float(r.height()) / sy + 2)));
    }
    return result;
}

QImage::Format qtImageFormat(int format)
{
    switch (format) {
    case 32: // 32_xRGB
    case 96: // 32_ARGB: a desktop has no use for its alpha
        return QImage::Format_RGB32;
    case 16: // 16_555
        return QImage::Format_RGB555;
    case 80: // 16_565
        return QImage::Format_RGB16;
    default:
        return QImage::Format_Invalid;
    }
}
