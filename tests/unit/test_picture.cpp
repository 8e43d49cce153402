#include "geometry.h"
#include "scaler.h"
#include <QtTest>
#include <random>

// The picture: the surface fitted into the window, scaled to that size, pointer positions mapped back.
class TestPicture : public QObject
{
    Q_OBJECT
    std::mt19937 rng{1};
    void fillNoise(QImage& image, const QRect& rect) // noise has the most to lose at a seam
    {
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                image.setPixel(x, y, rng() | 0xff000000u);
    }
    static QImage scaled(const QImage& source, const QSize& size, const QRect& rect = QRect(0, 0, 9999, 9999))
    {
        QImage target(size, QImage::Format_RGB32);
        target.fill(Qt::magenta);
        scaleRegion(source, target, rect);
        return target;
    }

private Q_SLOTS:
    void fitMapAndScale_data()
    {
        QTest::addColumn<QSize>("surface");
        QTest::addColumn<QSize>("window");
        QTest::newRow("bars above and below, 2x down") << QSize(1600, 900) << QSize(800, 600);
        QTest::newRow("bars left and right") << QSize(600, 800) << QSize(800, 600);
        QTest::newRow("odd reduction") << QSize(1920, 1080) << QSize(801, 601);
        QTest::newRow("20x down, past the box cap") << QSize(1920, 1080) << QSize(96, 54);
        QTest::newRow("odd enlargement") << QSize(333, 777) << QSize(1920, 1201);
        QTest::newRow("1x1 surface") << QSize(1, 1) << QSize(800, 600);
        QTest::newRow("narrow window") << QSize(1024, 768) << QSize(17, 1000);
    }
    void fitMapAndScale()
    {
        QFETCH(QSize, surface);
        QFETCH(QSize, window);
        const PictureGeometry g = fitPicture(surface, window);
        const QRect r = g.pictureRect(), s(QPoint(0, 0), surface);
        // Inside the window, filling it along one axis, centred, the surface's aspect kept.
        QVERIFY(g.isValid() && QRect(QPoint(0, 0), window).contains(r));
        QVERIFY(r.width() == window.width() || r.height() == window.height());
        QVERIFY(qAbs(2 * r.x() + r.width() - window.width()) < 2 &&
                qAbs(2 * r.y() + r.height() - window.height()) < 2);
        QVERIFY(qAbs(r.width() * s.height() - r.height() * s.width()) <= qMax(s.width(), s.height()));
        // Every picture pixel maps inside the surface, never backwards: the first to 0, the last into
        // the part of the surface that the last window pixel shows.
        QCOMPARE(windowToSurface(r.topLeft(), g), QPoint(0, 0));
        QPoint p = windowToSurface(r.bottomRight(), g);
        QVERIFY(p.x() >= (r.width() - 1) * s.width() / r.width() &&
                p.y() >= (r.height() - 1) * s.height() / r.height());
        int wrong = 0;
        for (int y = r.top(), lastY = 0; y <= r.bottom(); ++y)
            for (int x = r.left(), lastX = 0; x <= r.right(); lastX = p.x(), lastY = p.y(), ++x)
                wrong += !s.contains(p = windowToSurface(QPoint(x, y), g)) || p.x() < lastX || p.y() < lastY;
        QCOMPARE(wrong, 0);
        // Every vector width gives the plain code's bytes, also for a rectangle leaving odd tails.
        const QSize to = g.scaledSize;
        QImage src(surface, QImage::Format_RGB32);
        fillNoise(src, src.rect());
        const QRect odd(to.width() / 3, 1, to.width() / 3 + 1, 3);
        setScalerVectorWidth(0);
        const QImage whole = scaled(src, to), part = scaled(src, to, odd);
        for (int bits : {128, 256}) {
            setScalerVectorWidth(bits);
            QVERIFY2(scaled(src, to) == whole && scaled(src, to, odd) == part, QByteArray::number(bits));
        }
        // Rescaling what a change affects leaves no stale pixel; two thirds of the changes touch an edge.
        QImage target = whole;
        for (int i = 0; i < 30; ++i) {
            const int w = 1 + rng() % std::min(40, surface.width()),
                      h = 1 + rng() % std::min(40, surface.height());
            const auto place = [&](int room) {
                return rng() % 3 == 0 ? 0 : rng() % 2 ? room : rng() % (room + 1);
            };
            const QRect changed(place(surface.width() - w), place(surface.height() - h), w, h);
            fillNoise(src, changed);
            scaleRegion(src, target, affectedTargetRect(changed, surface, to));
            QVERIFY2(target == scaled(src, to), QByteArray::number(i)); // the seed repeats the changes
        }
    }
    // No picture: nothing is repainted and every pointer event is swallowed.
    void emptySizesGiveNoGeometry()
    {
        const QSize sizes[][2] = {{{0, 0}, {800, 600}},  {{0, 900}, {800, 600}}, {{-5, 10}, {800, 600}},
                                  {{1600, 900}, {0, 0}}, {{800, 600}, {800, 0}}, {{16000, 9}, {1, 1}}};
        for (const auto& [surface, window] : sizes) {
            const PictureGeometry g = fitPicture(surface, window);
            QVERIFY(!g.isValid() && g.pictureRect().isEmpty() &&
                    repaintRects(QRegion(0, 0, 9, 9), g).isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestPicture)
#include "test_picture.moc"
