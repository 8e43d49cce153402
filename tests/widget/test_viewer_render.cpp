// The window as a person sees it: surfaces go in through the real surface handlers (display_create,
// display_update) and the picture is read back from what the widget painted, on the offscreen platform.

#include "agent.h"
#include "capture.h"
#include "scaler.h"
#include "spiceviewer.h"

#include <QGuiApplication>
#include <QScreen>
#include <QtTest>

#include <cstdint>
#include <cstring>
#include <vector>

namespace
{

// A stand-in for the display channel: the handlers only compare its address.
SpiceDisplayChannel* fakeChannel()
{
    static char storage;
    return reinterpret_cast<SpiceDisplayChannel*>(&storage);
}

int expand5(int v)
{
    return (v << 3) | (v >> 2);
}
int expand6(int v)
{
    return (v << 2) | (v >> 4);
}

// A primary surface laid out as the server sends it. `expected` holds what each pixel means, at the
// precision the format can carry, so the test never has to guess a conversion.
struct Surface {
    int format;
    int width;
    int height;
    int stride;
    std::vector<uint8_t> bytes;
    QImage expected;

    Surface(int format, int width, int height, int stride)
        : format(format), width(width), height(height), stride(stride),
          // Padding bytes hold garbage: nothing of them may show.
          bytes(size_t(height) * size_t(stride) + 16, 0xA5), expected(width, height, QImage::Format_RGB32)
    {
        expected.fill(Qt::black);
    }

    void set(int x, int y, QRgb colour)
    {
        const int r = qRed(colour), g = qGreen(colour), b = qBlue(colour);
        uint8_t* p = bytes.data() + size_t(y) * size_t(stride);
        QRgb meant = qRgb(r, g, b);
        switch (format) {
        case 32:
        case 96: {
            // 32_xRGB's fourth byte is unused and ARGB's alpha means nothing to a desktop: both get
            // values that would show as transparent or dark if they were read.
            const uint32_t v = (uint32_t(format == 96 ? 0x00 : 0x3C) << 24) | (uint32_t(r) << 16) |
                               (uint32_t(g) << 8) | uint32_t(b);
            std::memcpy(p + size_t(x) * 4, &v, 4);
            break;
        }
        case 16: {
            const uint16_t v = uint16_t(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
            std::memcpy(p + size_t(x) * 2, &v, 2);
            meant = qRgb(expand5(r >> 3), expand5(g >> 3), expand5(b >> 3));
            break;
        }
        case 80: {
            const uint16_t v = uint16_t(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
            std::memcpy(p + size_t(x) * 2, &v, 2);
            meant = qRgb(expand5(r >> 3), expand6(g >> 2), expand5(b >> 3));
            break;
        }
        default:
            break;
        }
        expected.setPixel(x, y, meant);
    }

    void fill(const QRect& rect, QRgb colour)
    {
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                set(x, y, colour);
    }

    // Every pixel differs from its neighbours in a way that depends on both coordinates, so a
    // shifted row, a swapped channel or a misread pixel size shows.
    void fillPattern(int seed = 0)
    {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                set(x, y,
                    qRgb((x * 37 + seed) & 0xFF, (y * 53 + seed * 3) & 0xFF,
                         ((x + y) * 11 + seed * 7) & 0xFF));
    }
};

// One viewer with its own session record, as the program wires them.
struct Rig {
    SpiceAgent agent;
    SpiceViewer viewer;

    explicit Rig(const QSize& window)
    {
        viewer.agent = &agent;
        agent.viewer = &viewer;
        viewer.resize(window);
    }
    ~Rig() { agent.viewer = nullptr; }

    void create(Surface& s)
    {
        display_create(fakeChannel(), s.format, s.width, s.height, s.stride, 0, s.bytes.data(), &agent);
    }
    void update(int x, int y, int w, int h) { display_update(fakeChannel(), x, y, w, h, &agent); }
    void updateAll(const Surface& s) { update(0, 0, s.width, s.height); }

    bool showExposed()
    {
        viewer.show();
        return QTest::qWaitForWindowExposed(&viewer);
    }
    // A fresh paint of the whole widget.
    QImage rendered() { return viewer.grab().toImage().convertToFormat(QImage::Format_RGB32); }
    // What the window's backing store holds: only the areas the viewer chose to repaint are new.
    QImage onScreen()
    {
        QCoreApplication::processEvents();
        return QGuiApplication::primaryScreen()
            ->grabWindow(viewer.winId())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    }
};

// Largest per-channel difference between two pictures; 256 when their sizes differ.
int maxDiff(const QImage& a, const QImage& b, const QRect& area = QRect())
{
    if (a.size() != b.size())
        return 256;
    const QRect r = area.isNull() ? a.rect() : area;
    int worst = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            worst = qMax(worst, qMax(qAbs(qRed(p) - qRed(q)),
                                     qMax(qAbs(qGreen(p) - qGreen(q)), qAbs(qBlue(p) - qBlue(q)))));
        }
    return worst;
}

QString firstDifference(const QImage& actual, const QImage& expected)
{
    if (actual.size() != expected.size())
        return QStringLiteral("size %1x%2, expected %3x%4")
            .arg(actual.width())
            .arg(actual.height())
            .arg(expected.width())
            .arg(expected.height());
    for (int y = 0; y < actual.height(); ++y)
        for (int x = 0; x < actual.width(); ++x)
            if ((actual.pixel(x, y) & 0xFFFFFF) != (expected.pixel(x, y) & 0xFFFFFF))
                return QStringLiteral("(%1,%2) is #%3, expected #%4")
                    .arg(x)
                    .arg(y)
                    .arg(actual.pixel(x, y) & 0xFFFFFF, 6, 16, QChar('0'))
                    .arg(expected.pixel(x, y) & 0xFFFFFF, 6, 16, QChar('0'));
    return QString();
}

bool allBlack(const QImage& image, const QRect& area = QRect())
{
    const QRect r = area.isNull() ? image.rect() : area;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) != 0)
                return false;
    return true;
}

bool noBlack(const QImage& image, const QRect& area)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) == 0)
                return false;
    return true;
}

// Four blocks of distinct colours, each made of 8-bit values every format carries exactly.
const QRgb kBlocks[4] = {qRgb(0xFF, 0x00, 0x00), qRgb(0x00, 0xFF, 0x00), qRgb(0x00, 0x00, 0xFF),
                         qRgb(0xFF, 0xFF, 0xFF)};

void fillBlocks(Surface& s)
{
    const int hw = s.width / 2, hh = s.height / 2;
    s.fill(QRect(0, 0, hw, hh), kBlocks[0]);
    s.fill(QRect(hw, 0, s.width - hw, hh), kBlocks[1]);
    s.fill(QRect(0, hh, hw, s.height - hh), kBlocks[2]);
    s.fill(QRect(hw, hh, s.width - hw, s.height - hh), kBlocks[3]);
}

} // namespace

class TestViewerRender : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void formatsShowTheirColours_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("stride");
        QTest::newRow("555, rows packed") << 16 << 101 << 202;
        QTest::newRow("555, rows padded") << 16 << 101 << 214;
        QTest::newRow("565, rows packed") << 80 << 101 << 202;
        QTest::newRow("565, rows padded") << 80 << 100 << 212;
        QTest::newRow("xRGB, rows packed") << 32 << 101 << 404;
        QTest::newRow("xRGB, rows padded") << 32 << 100 << 448;
        QTest::newRow("ARGB with zero alpha, rows padded") << 96 << 100 << 432;
    }

    // Window and surface of one size: every pixel shown must be the one the server meant.
    void formatsShowTheirColours()
    {
        QFETCH(int, format);
        QFETCH(int, width);
        QFETCH(int, stride);
        const int height = 60;
        Surface s(format, width, height, stride);
        s.fillPattern();
        Rig rig(QSize(width, height));
        rig.create(s);
        rig.updateAll(s);
        QVERIFY(rig.showExposed());
        const QImage shown = rig.rendered();
        QCOMPARE(firstDifference(shown, s.expected), QString());
        QCOMPARE(rig.viewer.pictureGeometry().pictureRect(), QRect(0, 0, width, height));
    }

    void formatsScaleTheirBlocks_data() { formatsShowTheirColours_data(); }

    // Scaled about eight times up into an 800x600 window: the inside of each block keeps its colour
    // exactly and the bars beside the picture are black.
    void formatsScaleTheirBlocks()
    {
        QFETCH(int, format);
        QFETCH(int, width);
        QFETCH(int, stride);
        const int height = 76;
        Surface s(format, width, height, stride);
        fillBlocks(s);
        Rig rig(QSize(800, 600));
        rig.create(s);
        rig.updateAll(s);
        QVERIFY(rig.showExposed());
        const QImage shown = rig.rendered();
        // Taller than the window's shape: full height, centred across.
        const int scaledWidth = 600 * width / height;
        const int left = (800 - scaledWidth) / 2;
        const PictureGeometry& g = rig.viewer.pictureGeometry();
        QCOMPARE(g.pictureRect(), QRect(left, 0, scaledWidth, 600));
        const double k = double(scaledWidth) / width;
        const int hw = width / 2, hh = height / 2;
        const QRect blocks[4] = {QRect(0, 0, hw, hh), QRect(hw, 0, width - hw, hh),
                                 QRect(0, hh, hw, height - hh), QRect(hw, hh, width - hw, height - hh)};
        for (int i = 0; i < 4; ++i) {
            // The block in window pixels, less a margin of two source pixels where blocks blend.
            const QRect b = blocks[i];
            const QRect inner(QPoint(left + int((b.left() + 2) * k), int((b.top() + 2) * k)),
                              QPoint(left + int((b.right() - 1) * k), int((b.bottom() - 1) * k)));
            QImage flat(shown.size(), QImage::Format_RGB32);
            flat.fill(kBlocks[i]);
            QVERIFY2(maxDiff(shown, flat, inner) == 0, qPrintable(QStringLiteral("block %1").arg(i)));
        }
        QVERIFY(allBlack(shown, QRect(0, 0, left, 600)));
        QVERIFY(allBlack(shown, QRect(left + scaledWidth, 0, 800 - left - scaledWidth, 600)));
        QVERIFY(noBlack(shown, QRect(left, 0, scaledWidth, 600)));
    }

    void unsupportedFormatShowsBlack()
    {
        Surface good(32, 200, 150, 800);
        good.fillPattern();
        Rig rig(QSize(400, 300));
        rig.create(good);
        rig.updateAll(good);
        QVERIFY(rig.showExposed());
        QVERIFY(!allBlack(rig.rendered()));

        Surface odd(8, 200, 150, 200);
        std::fill(odd.bytes.begin(), odd.bytes.end(), uint8_t(0xC7));
        CoutCapture log;
        rig.create(odd);
        rig.updateAll(odd);
        rig.update(10, 10, 50, 50);
        QVERIFY2(log.lines().contains(QStringLiteral("[ERROR] Unsupported surface format 8, shown black")),
                 qPrintable(log.lines().join('\n')));
        QVERIFY(!rig.viewer.hasPicture());
        QVERIFY(allBlack(rig.rendered()));
        QTRY_VERIFY_WITH_TIMEOUT(allBlack(rig.onScreen()), 5000);
    }

    void refusedSurfaceShowsBlackAndTakesNoUpdates_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("stride");
        QTest::newRow("0x0") << 0 << 0 << 0;
        QTest::newRow("negative height") << 100 << -5 << 400;
        QTest::newRow("absurd size") << 100000 << 100000 << 400000;
        QTest::newRow("rows shorter than their pixels") << 200 << 150 << 400;
    }

    void refusedSurfaceShowsBlackAndTakesNoUpdates()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, stride);
        Surface good(32, 200, 150, 800);
        good.fillPattern();
        Rig rig(QSize(400, 300));
        rig.create(good);
        rig.updateAll(good);
        QVERIFY(rig.showExposed());
        QVERIFY(!allBlack(rig.rendered()));

        // The pixels the server would hand over: a small buffer, so a copy that trusted the refused
        // size would read far past it.
        std::vector<uint8_t> tiny(64, 0x77);
        display_create(fakeChannel(), 32, width, height, stride, 0, tiny.data(), &rig.agent);
        QVERIFY(!rig.viewer.hasPicture());
        QVERIFY(rig.agent.shm_data == nullptr);
        QVERIFY(allBlack(rig.rendered()));
        rig.update(0, 0, 100, 100);
        rig.update(0, 0, qMax(width, 1), qMax(height, 1));
        QVERIFY(!rig.viewer.hasPicture());
        QVERIFY(allBlack(rig.rendered()));
        QTRY_VERIFY_WITH_TIMEOUT(allBlack(rig.onScreen()), 5000);

        // The next good surface is shown again.
        Surface next(32, 200, 150, 800);
        next.fillPattern(5);
        rig.create(next);
        rig.updateAll(next);
        QCOMPARE(rig.rendered().size(), QSize(400, 300));
        QImage expected(400, 300, QImage::Format_RGB32);
        scaleRegion(next.expected, expected, expected.rect());
        QCOMPARE(firstDifference(rig.rendered(), expected), QString());
    }

    void clearedDisplayComesBackWithTheNextUpdate()
    {
        Surface s(32, 320, 240, 1280);
        s.fillPattern();
        Rig rig(QSize(320, 240));
        rig.create(s);
        rig.updateAll(s);
        QVERIFY(rig.showExposed());
        QTRY_COMPARE_WITH_TIMEOUT(firstDifference(rig.onScreen(), s.expected), QString(), 5000);

        CoutCapture log;
        rig.viewer.clearDisplay();
        QVERIFY(log.lines().contains(QStringLiteral("[INFO] Clearing display content")));
        QVERIFY(!rig.viewer.hasPicture());
        QVERIFY(allBlack(rig.rendered()));
        QTRY_VERIFY_WITH_TIMEOUT(allBlack(rig.onScreen()), 5000);

        // One small change brings the whole picture back, not only that rectangle.
        s.fill(QRect(100, 100, 4, 4), qRgb(0x12, 0x34, 0x56));
        rig.update(100, 100, 4, 4);
        QVERIFY(rig.viewer.hasPicture());
        QCOMPARE(firstDifference(rig.rendered(), s.expected), QString());
        QTRY_COMPARE_WITH_TIMEOUT(firstDifference(rig.onScreen(), s.expected), QString(), 5000);
    }

    void wideSurfaceIsLetterboxed()
    {
        Surface s(32, 1600, 900, 6400);
        // No black anywhere in the surface, so black in the window can only be the bars.
        for (int y = 0; y < 900; ++y)
            for (int x = 0; x < 1600; ++x)
                s.set(x, y, qRgb(40 + (x * 200) / 1600, 40 + (y * 200) / 900, 120));
        s.fill(QRect(0, 0, 1600, 2), qRgb(255, 255, 0));
        s.fill(QRect(0, 898, 1600, 2), qRgb(0, 255, 255));
        Rig rig(QSize(800, 600));
        rig.create(s);
        rig.updateAll(s);
        QVERIFY(rig.showExposed());
        const QImage shown = rig.rendered();
        const PictureGeometry& g = rig.viewer.pictureGeometry();
        QCOMPARE(g.xOffset, 0);
        QCOMPARE(g.yOffset, 75);
        QCOMPARE(g.scaledSize, QSize(800, 450));
        QCOMPARE(g.scaleX, 2.0f);
        QCOMPARE(g.scaleY, 2.0f);
        QVERIFY(allBlack(shown, QRect(0, 0, 800, 75)));
        QVERIFY(allBlack(shown, QRect(0, 525, 800, 75)));
        QVERIFY(noBlack(shown, QRect(0, 75, 800, 450)));
        // The picture's first and last rows are the surface's own edge rows, halved. The scaler
        // places its box to 1/32 of a source pixel, so a trace (under 2%) of the next row may show.
        QImage yellow(shown.size(), QImage::Format_RGB32), cyan(shown.size(), QImage::Format_RGB32);
        yellow.fill(qRgb(255, 255, 0));
        cyan.fill(qRgb(0, 255, 255));
        QVERIFY(maxDiff(shown, yellow, QRect(0, 75, 800, 1)) <= 4);
        QVERIFY(maxDiff(shown, cyan, QRect(0, 524, 800, 1)) <= 4);
        // Inside, each window pixel is the average of its 2x2 surface pixels (a smooth ramp: the
        // average is the ramp's own value within a step).
        QImage half = s.expected.scaled(800, 450, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const int inside = maxDiff(shown.copy(0, 75, 800, 450), half, QRect(0, 2, 800, 446));
        QVERIFY2(inside <= 2, qPrintable(QString::number(inside)));
        QTRY_COMPARE_WITH_TIMEOUT(firstDifference(rig.onScreen(), shown), QString(), 5000);
    }

    void incrementalUpdatesEqualAFullRescale_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("stride");
        QTest::newRow("xRGB") << 32 << 4000;
        QTest::newRow("555") << 16 << 2004;
        QTest::newRow("565") << 80 << 2000;
    }

    // The window keeps a scaled picture and patches only what changed; after any sequence of
    // changes it must look exactly as if the final surface had been scaled in one go.
    void incrementalUpdatesEqualAFullRescale()
    {
        QFETCH(int, format);
        QFETCH(int, stride);
        Surface s(format, 1000, 700, stride);
        s.fillPattern();
        Rig rig(QSize(800, 600));
        rig.create(s);
        rig.updateAll(s);
        QVERIFY(rig.showExposed());
        const QImage before = rig.rendered();
        QTRY_COMPARE_WITH_TIMEOUT(firstDifference(rig.onScreen(), before), QString(), 5000);

        // Rectangles of all shapes: single pixels, thin lines, ones touching the edges, overlaps.
        const QRect changes[] = {QRect(0, 0, 1, 1),       QRect(999, 699, 1, 1),   QRect(500, 0, 1, 700),
                                 QRect(0, 350, 1000, 1),  QRect(123, 456, 77, 33), QRect(130, 460, 10, 90),
                                 QRect(990, 10, 10, 300), QRect(2, 690, 200, 10),  QRect(640, 320, 3, 3)};
        int seed = 1;
        for (const QRect& r : changes) {
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    s.set(x, y,
                          qRgb((x * 13 + seed * 40) & 0xFF, (y * 7 + seed * 90) & 0xFF, (seed * 60) & 0xFF));
            rig.update(r.x(), r.y(), r.width(), r.height());
            // Some changes are painted one at a time, others arrive together.
            if (seed++ % 3 == 0)
                QTest::qWait(100);
        }
        // A burst of many small rectangles, more than the window tracks one by one.
        for (int i = 0; i < 100; ++i) {
            const QRect r((i * 97) % 990, (i * 61) % 690, 1 + i % 7, 1 + i % 5);
            s.fill(r, qRgb(i * 2, 255 - i, (i * 5) & 0xFF));
            rig.update(r.x(), r.y(), r.width(), r.height());
        }

        Rig fresh(QSize(800, 600));
        fresh.create(s);
        fresh.updateAll(s);
        const QImage full = fresh.rendered();
        QVERIFY(firstDifference(full, before) != QString());
        QTRY_COMPARE_WITH_TIMEOUT(firstDifference(rig.onScreen(), full), QString(), 5000);
        QCOMPARE(firstDifference(rig.rendered(), full), QString());
    }
};

QTEST_MAIN(TestViewerRender)
#include "test_viewer_render.moc"
