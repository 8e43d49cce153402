#include "scaler.h"

#include <QtTest>

#include <random>
#include <vector>

namespace
{

constexpr QRgb kPoison = 0xff00ffff; // blue 255: never produced from sources whose blue stays below 128

// Random noise is the hardest case for seams: every pixel differs from its neighbours.
QImage noise(const QSize& size, std::mt19937& rng, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(size, format);
    std::uniform_int_distribution<quint32> dist;
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = 0xff000000u | (dist(rng) & 0x00ffff7fu);
    }
    return image;
}

void fillNoise(QImage& image, const QRect& rect, std::mt19937& rng)
{
    std::uniform_int_distribution<quint32> dist;
    const QRect r = rect.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = r.left(); x <= r.right(); ++x)
            line[x] = 0xff000000u | (dist(rng) & 0x00ffff7fu);
    }
}

QImage filled(const QSize& size, QRgb colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

QImage scaledWhole(const QImage& source, const QSize& size)
{
    QImage target = filled(size, kPoison);
    scaleRegion(source, target, target.rect());
    return target;
}

// Compares the visible bytes of each row (padding excluded); names the first differing pixel.
QString difference(const QImage& actual, const QImage& expected)
{
    if (actual.size() != expected.size())
        return QStringLiteral("size differs");
    for (int y = 0; y < actual.height(); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(actual.constScanLine(y));
        const auto* e = reinterpret_cast<const QRgb*>(expected.constScanLine(y));
        for (int x = 0; x < actual.width(); ++x) {
            if (a[x] != e[x])
                return QStringLiteral("pixel (%1,%2): %3 instead of %4")
                    .arg(x)
                    .arg(y)
                    .arg(a[x], 8, 16, QLatin1Char('0'))
                    .arg(e[x], 8, 16, QLatin1Char('0'));
        }
    }
    return QString();
}

QRect randomRect(const QSize& bounds, int maxSide, std::mt19937& rng)
{
    std::uniform_int_distribution<int> side(1, maxSide);
    const int w = std::min(side(rng), bounds.width());
    const int h = std::min(side(rng), bounds.height());
    std::uniform_int_distribution<int> x(0, bounds.width() - w);
    std::uniform_int_distribution<int> y(0, bounds.height() - h);
    return QRect(x(rng), y(rng), w, h);
}

// Rectangles hugging a border or a corner, where the padding and the kernel's clipping matter most.
QRect randomEdgeRect(const QSize& bounds, std::mt19937& rng)
{
    std::uniform_int_distribution<int> coin(0, 3);
    std::uniform_int_distribution<int> inset(0, 6);
    const QRect r = randomRect(bounds, 24, rng);
    const int right = std::max(0, bounds.width() - r.width() - inset(rng));
    const int bottom = std::max(0, bounds.height() - r.height() - inset(rng));
    const int left = std::min(inset(rng), bounds.width() - r.width());
    const int top = std::min(inset(rng), bounds.height() - r.height());
    switch (coin(rng)) {
    case 0:
        return QRect(QPoint(left, r.y()), r.size());
    case 1:
        return QRect(QPoint(right, r.y()), r.size());
    case 2:
        return QRect(QPoint(r.x(), top), r.size());
    default:
        return QRect(QPoint(right, bottom), r.size());
    }
}

int channelSpread(QRgb a, QRgb b)
{
    return std::max(
        {std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
}

} // namespace

class TestScaler : public QObject
{
    Q_OBJECT

private:
    void addScales()
    {
        QTest::addColumn<QSize>("sourceSize");
        QTest::addColumn<QSize>("targetSize");
        QTest::newRow("down 2.4x") << QSize(1920, 1080) << QSize(800, 450);
        QTest::newRow("down odd 1920 to 801")
            << QSize(1920, 1080) << QSize(1920, 1080).scaled(QSize(801, 801), Qt::KeepAspectRatio);
        QTest::newRow("up 2.5x") << QSize(640, 480) << QSize(1600, 1200);
        QTest::newRow("up odd") << QSize(333, 197) << QSize(1013, 599);
        QTest::newRow("down x up y") << QSize(1024, 300) << QSize(700, 410);
        QTest::newRow("down x same y") << QSize(1024, 300) << QSize(700, 300);
        QTest::newRow("same x up y") << QSize(300, 200) << QSize(300, 333);
        QTest::newRow("1:1") << QSize(333, 222) << QSize(333, 222);
        QTest::newRow("down 20x") << QSize(1920, 1080) << QSize(96, 54);
        QTest::newRow("from 1x1") << QSize(1, 1) << QSize(50, 30);
        QTest::newRow("to 1x1") << QSize(300, 200) << QSize(1, 1);
        QTest::newRow("1920x1080 to 1x1") << QSize(1920, 1080) << QSize(1, 1);
    }

private Q_SLOTS:
    // The narrower vector code (and the plain code) must give the very bytes of the widest.
    void everyVectorWidthGivesTheSameBytes_data() { addScales(); }
    void everyVectorWidthGivesTheSameBytes()
    {
        QFETCH(QSize, sourceSize);
        QFETCH(QSize, targetSize);
        std::mt19937 rng(11);
        const QImage source = noise(sourceSize, rng);
        QImage widest(targetSize, QImage::Format_RGB32);
        setScalerVectorWidth(256);
        scaleRegion(source, widest, widest.rect());
        for (int bits : {128, 0}) {
            QImage narrower(targetSize, QImage::Format_RGB32);
            narrower.fill(Qt::magenta);
            setScalerVectorWidth(bits);
            scaleRegion(source, narrower, narrower.rect());
            // An odd rectangle exercises the tails the vector loops leave to the plain code.
            const QRect odd(QPoint(targetSize.width() / 3, 1), QSize(targetSize.width() / 3 + 1, 3));
            QImage part = widest.copy();
            scaleRegion(source, part, odd);
            QVERIFY2(narrower == widest, qPrintable(QString("width %1").arg(bits)));
            QVERIFY(part == widest);
        }
        setScalerVectorWidth(256);
    }

    void tilesMatchWholeScale_data() { addScales(); }
    void tilesMatchWholeScale()
    {
        QFETCH(QSize, sourceSize);
        QFETCH(QSize, targetSize);
        std::mt19937 rng(1);
        const QImage source = noise(sourceSize, rng);
        const QImage whole = scaledWhole(source, targetSize);

        // Tile sizes that divide neither dimension, so tiles end at every kind of offset.
        QImage tiled = filled(targetSize, kPoison);
        for (int y = 0; y < targetSize.height(); y += 37)
            for (int x = 0; x < targetSize.width(); x += 61)
                scaleRegion(source, tiled, QRect(x, y, 61, 37));
        const QString tiles = difference(tiled, whole);
        QVERIFY2(tiles.isEmpty(), qPrintable(tiles));

        // Any rectangle, wherever it falls, reproduces exactly what the whole scale put there.
        QImage patched = whole;
        for (int i = 0; i < 300; ++i) {
            const QRect r = randomRect(targetSize, 90, rng);
            patched.fill(kPoison); // only r is rewritten below; the rest must not matter
            scaleRegion(source, patched, r);
            const QString diff = difference(patched.copy(r), whole.copy(r));
            QVERIFY2(diff.isEmpty(), qPrintable(QStringLiteral("rect %1,%2 %3x%4: %5")
                                                    .arg(r.x())
                                                    .arg(r.y())
                                                    .arg(r.width())
                                                    .arg(r.height())
                                                    .arg(diff)));
        }
    }

    void affectedRectCoversSourceChange_data() { addScales(); }
    void affectedRectCoversSourceChange()
    {
        QFETCH(QSize, sourceSize);
        QFETCH(QSize, targetSize);
        std::mt19937 rng(2);
        QImage source = noise(sourceSize, rng);
        QImage target = scaledWhole(source, targetSize);
        for (int i = 0; i < 25; ++i) {
            const QRect changed = i % 2 ? randomEdgeRect(sourceSize, rng) : randomRect(sourceSize, 40, rng);
            fillNoise(source, changed, rng);
            const QRect affected = affectedTargetRect(changed, sourceSize, targetSize);
            // Empty is allowed where the filter skips the changed pixels; the comparison below decides.
            QVERIFY(affected.isEmpty() || target.rect().contains(affected));
            scaleRegion(source, target, affected);
            const QString diff = difference(target, scaledWhole(source, targetSize));
            QVERIFY2(diff.isEmpty(),
                     qPrintable(QStringLiteral("after source rect %1,%2 %3x%4 -> %5,%6 %7x%8: %9")
                                    .arg(changed.x())
                                    .arg(changed.y())
                                    .arg(changed.width())
                                    .arg(changed.height())
                                    .arg(affected.x())
                                    .arg(affected.y())
                                    .arg(affected.width())
                                    .arg(affected.height())
                                    .arg(diff)));
        }
    }

    // A change of one source pixel must not cost a rescale of much more than its footprint.
    void affectedRectIsLocal_data()
    {
        QTest::addColumn<QSize>("sourceSize");
        QTest::addColumn<QSize>("targetSize");
        QTest::addColumn<int>("maxSide");
        // 2.4x down: a 4-tap kernel reads a source pixel for sampling positions spread over about 4 source
        // pixels, which is under 2 target pixels: at most 3 whole ones.
        QTest::newRow("down 2.4x") << QSize(1920, 1080) << QSize(800, 450) << 3;
        // 2.5x up: bilinear reads a source pixel for positions within 2 source pixels, 5 target pixels.
        QTest::newRow("up 2.5x") << QSize(640, 480) << QSize(1600, 1200) << 6;
        QTest::newRow("1:1") << QSize(640, 480) << QSize(640, 480) << 1;
    }
    void affectedRectIsLocal()
    {
        QFETCH(QSize, sourceSize);
        QFETCH(QSize, targetSize);
        QFETCH(int, maxSide);
        const QPoint pixel(sourceSize.width() / 2, sourceSize.height() / 3);
        const QRect affected = affectedTargetRect(QRect(pixel, QSize(1, 1)), sourceSize, targetSize);
        const QPoint mapped(pixel.x() * targetSize.width() / sourceSize.width(),
                            pixel.y() * targetSize.height() / sourceSize.height());
        QVERIFY(affected.contains(mapped));
        QVERIFY2(affected.width() <= maxSide && affected.height() <= maxSide,
                 qPrintable(QStringLiteral("%1x%2").arg(affected.width()).arg(affected.height())));
    }

    void leavesPixelsOutsideRectUntouched_data() { addScales(); }
    void leavesPixelsOutsideRectUntouched()
    {
        QFETCH(QSize, sourceSize);
        QFETCH(QSize, targetSize);
        std::mt19937 rng(3);
        const QImage source = noise(sourceSize, rng);
        for (int i = 0; i < 20; ++i) {
            QImage target = filled(targetSize, kPoison);
            const QRect r = randomRect(targetSize, 120, rng);
            scaleRegion(source, target, r);
            for (int y = 0; y < targetSize.height(); ++y) {
                const auto* line = reinterpret_cast<const QRgb*>(target.constScanLine(y));
                for (int x = 0; x < targetSize.width(); ++x) {
                    if (r.contains(x, y) == (line[x] == kPoison))
                        QFAIL(qPrintable(QStringLiteral("pixel (%1,%2) %3 for rect %4,%5 %6x%7")
                                             .arg(x)
                                             .arg(y)
                                             .arg(r.contains(x, y) ? "unwritten" : "written")
                                             .arg(r.x())
                                             .arg(r.y())
                                             .arg(r.width())
                                             .arg(r.height())));
                }
            }
        }
    }

    void uniformColourStaysExact_data() { addScales(); }
    void uniformColourStaysExact()
    {
        QFETCH(QSize, sourceSize);
        QFETCH(QSize, targetSize);
        for (QRgb colour : {0xff000000u, 0xffffffffu, 0xff3c7a15u, 0xff010203u}) {
            const QImage target = scaledWhole(filled(sourceSize, colour), targetSize);
            const QString diff = difference(target, filled(targetSize, colour));
            QVERIFY2(diff.isEmpty(), qPrintable(diff));
        }
    }

    void oneToOneCopiesWithPaddedStride()
    {
        const int width = 97, height = 41, stride = width * 4 + 44;
        std::mt19937 rng(4);
        std::vector<uchar> buffer(static_cast<size_t>(stride) * height);
        std::uniform_int_distribution<int> byte(0, 255);
        for (auto& b : buffer)
            b = static_cast<uchar>(byte(rng)); // padding holds garbage too
        // Alpha is random as well: the copy must come out opaque with the colour intact.
        const QImage source(buffer.data(), width, height, stride, QImage::Format_ARGB32);
        QCOMPARE(source.bytesPerLine(), stride);

        QImage target = filled(source.size(), kPoison);
        scaleRegion(source, target, QRect(-10, -10, 1000, 1000));
        for (int y = 0; y < height; ++y) {
            const auto* in = reinterpret_cast<const QRgb*>(buffer.data() + static_cast<size_t>(y) * stride);
            const auto* out = reinterpret_cast<const QRgb*>(target.constScanLine(y));
            for (int x = 0; x < width; ++x)
                QCOMPARE(out[x], in[x] | 0xff000000u);
        }
    }

    void alphaIsIgnoredWhenScaling()
    {
        std::mt19937 rng(5);
        const QImage opaque = noise(QSize(300, 170), rng);
        QImage transparent = opaque.convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < transparent.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(transparent.scanLine(y));
            for (int x = 0; x < transparent.width(); ++x)
                line[x] &= 0x00ffffffu;
        }
        for (const QSize size : {QSize(130, 74), QSize(700, 400)}) {
            const QString diff = difference(scaledWhole(transparent, size), scaledWhole(opaque, size));
            QVERIFY2(diff.isEmpty(), qPrintable(diff));
        }
    }

    void otherSourceFormatsAreConverted()
    {
        std::mt19937 rng(6);
        const QImage source = noise(QSize(200, 120), rng);
        const QImage rgb888 = source.convertToFormat(QImage::Format_RGB888);
        const QString diff =
            difference(scaledWhole(rgb888, QSize(90, 54)), scaledWhole(source, QSize(90, 54)));
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    }

    void halvingCheckerGivesGrey()
    {
        QImage checker(64, 48, QImage::Format_RGB32);
        for (int y = 0; y < checker.height(); ++y)
            for (int x = 0; x < checker.width(); ++x)
                checker.setPixel(x, y, (x + y) % 2 ? 0xffffffffu : 0xff000000u);
        const QImage target = scaledWhole(checker, QSize(32, 24));
        for (int y = 0; y < target.height(); ++y)
            for (int x = 0; x < target.width(); ++x)
                QVERIFY2(
                    channelSpread(target.pixel(x, y), qRgb(128, 128, 128)) <= 1,
                    qPrintable(QStringLiteral("(%1,%2) = %3").arg(x).arg(y).arg(target.pixel(x, y), 8, 16)));
    }

    // Thin lines must not vanish or flare when shrinking: each target pixel covers 2.4 source pixels, of
    // which a third are white, so it must stay a mid grey (0.4 to 1 white pixel out of 2.4, widened a little
    // by the reconstruction), never black or white as a 2x2-pixel sampler would give.
    void shrinkingAveragesThinLines()
    {
        QImage lines(1920, 1080, QImage::Format_RGB32);
        for (int y = 0; y < lines.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(lines.scanLine(y));
            for (int x = 0; x < lines.width(); ++x)
                line[x] = x % 3 == 0 ? 0xffffffffu : 0xff000000u;
        }
        const QImage target = scaledWhole(lines, QSize(800, 450));
        for (int x = 0; x < target.width(); ++x) {
            const int grey = qGreen(target.pixel(x, 200));
            QVERIFY2(grey >= 30 && grey <= 120, qPrintable(QStringLiteral("column %1: %2").arg(x).arg(grey)));
        }
    }

    void enlargingKeepsColoursAtTheEnds()
    {
        const QRgb left = qRgb(200, 30, 10), right = qRgb(5, 60, 250);
        QImage split(4, 2, QImage::Format_RGB32);
        for (int x = 0; x < 4; ++x)
            for (int y = 0; y < 2; ++y)
                split.setPixel(x, y, x < 2 ? left : right);
        const QImage target = scaledWhole(split, QSize(400, 200));
        for (int y = 0; y < 200; ++y) {
            // Target columns below 100 sample source x < 1: inside the first pixel's half of the pad.
            for (int x = 0; x < 100; ++x)
                QCOMPARE(target.pixel(x, y), left);
            for (int x = 300; x < 400; ++x)
                QCOMPARE(target.pixel(x, y), right);
            // In between, a smooth ramp: red only falls, blue only rises.
            for (int x = 1; x < 400; ++x) {
                QVERIFY(qRed(target.pixel(x, y)) <= qRed(target.pixel(x - 1, y)));
                QVERIFY(qBlue(target.pixel(x, y)) >= qBlue(target.pixel(x - 1, y)));
            }
        }
        QVERIFY(qRed(target.pixel(200, 0)) < qRed(left) && qRed(target.pixel(200, 0)) > qRed(right));
    }

    void emptyOrOutsideRectsDoNothing()
    {
        std::mt19937 rng(7);
        const QImage source = noise(QSize(320, 200), rng);
        const QImage before = noise(QSize(160, 100), rng);
        QImage target = before;
        for (const QRect& r : {QRect(), QRect(10, 10, 0, 5), QRect(160, 0, 10, 10), QRect(-20, -20, 20, 20),
                               QRect(0, 100, 160, 3), QRect(5000, 5000, 10, 10)}) {
            scaleRegion(source, target, r);
            QVERIFY2(
                difference(target, before).isEmpty(),
                qPrintable(
                    QStringLiteral("rect %1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height())));
        }
        scaleRegion(QImage(), target, target.rect());
        QVERIFY(difference(target, before).isEmpty());

        QImage nothing;
        scaleRegion(source, nothing, QRect(0, 0, 10, 10));
        QVERIFY(nothing.isNull());

        QCOMPARE(affectedTargetRect(QRect(), QSize(320, 200), QSize(160, 100)), QRect());
        QCOMPARE(affectedTargetRect(QRect(320, 0, 5, 5), QSize(320, 200), QSize(160, 100)), QRect());
        QCOMPARE(affectedTargetRect(QRect(-9, -9, 9, 9), QSize(320, 200), QSize(160, 100)), QRect());
        QCOMPARE(affectedTargetRect(QRect(0, 0, 5, 5), QSize(), QSize(160, 100)), QRect());
        QCOMPARE(affectedTargetRect(QRect(0, 0, 5, 5), QSize(320, 200), QSize(0, 100)), QRect());
    }

    void affectedRectIsClippedToTarget()
    {
        const QSize source(1920, 1080), target(800, 450);
        QCOMPARE(affectedTargetRect(QRect(-50, -50, 5000, 5000), source, target),
                 QRect(QPoint(0, 0), target));
        QCOMPARE(affectedTargetRect(QRect(10, 20, 30, 40), source, source), QRect(10, 20, 30, 40));
        QCOMPARE(affectedTargetRect(QRect(1900, 1070, 50, 50), source, source), QRect(1900, 1070, 20, 10));
        const QRect corner = affectedTargetRect(QRect(1919, 1079, 1, 1), source, target);
        QVERIFY(!corner.isEmpty());
        QCOMPARE(corner.bottomRight(), QPoint(799, 449));
    }
};

QTEST_GUILESS_MAIN(TestScaler)
#include "test_scaler.moc"
