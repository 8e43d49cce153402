#include "geometry.h"

#include <QtTest>
#include <cmath>

class TestGeometry : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fitAndMapping_data()
    {
        QTest::addColumn<QSize>("surface");
        QTest::addColumn<QSize>("window");
        QTest::newRow("bars above and below") << QSize(1600, 900) << QSize(800, 600);
        QTest::newRow("bars left and right") << QSize(600, 800) << QSize(800, 600);
        QTest::newRow("odd reduction") << QSize(1920, 1080) << QSize(801, 601);
        QTest::newRow("odd enlargement") << QSize(333, 777) << QSize(1920, 1201);
        QTest::newRow("1x1 surface") << QSize(1, 1) << QSize(800, 600);
        QTest::newRow("narrow window") << QSize(1024, 768) << QSize(17, 1000);
        QTest::newRow("same size") << QSize(640, 480) << QSize(640, 480);
    }
    void fitAndMapping()
    {
        QFETCH(QSize, surface);
        QFETCH(QSize, window);
        const PictureGeometry g = fitPicture(surface, window);
        const QRect r = g.pictureRect();
        // Inside the window, filling it along one axis, centred, the surface's aspect kept.
        QVERIFY(g.isValid() && QRect(QPoint(0, 0), window).contains(r));
        QVERIFY(r.width() == window.width() || r.height() == window.height());
        QVERIFY(qAbs(r.left() + r.right() + 1 - window.width()) <= 1);
        QVERIFY(qAbs(r.top() + r.bottom() + 1 - window.height()) <= 1);
        QVERIFY(qAbs(qint64(r.width()) * surface.height() - qint64(r.height()) * surface.width()) <=
                std::max(surface.width(), surface.height()));
        // Every picture pixel maps inside the surface, never running backwards; the first to 0, the
        // last into the share of the surface that the last window pixel shows.
        QCOMPARE(windowToSurface(r.topLeft(), g), QPoint(0, 0));
        const QPoint end = windowToSurface(r.bottomRight(), g);
        QVERIFY(end.x() >= surface.width() - std::ceil(double(surface.width()) / r.width()));
        QVERIFY(end.y() >= surface.height() - std::ceil(double(surface.height()) / r.height()));
        for (int y = r.top(), lastY = 0; y <= r.bottom(); ++y)
            for (int x = r.left(), lastX = 0; x <= r.right(); ++x) {
                const QPoint s = windowToSurface(QPoint(x, y), g);
                if (!QRect(QPoint(0, 0), surface).contains(s) || s.x() < lastX || s.y() < lastY)
                    QFAIL(
                        qPrintable(QString("window %1,%2 gives %3,%4").arg(x).arg(y).arg(s.x()).arg(s.y())));
                lastX = s.x(), lastY = s.y();
            }
    }

    void emptySizesGiveNoGeometry()
    {
        const QSize pairs[][2] = {{{0, 0}, {800, 600}},  {{0, 900}, {800, 600}}, {{-5, 10}, {800, 600}},
                                  {{1600, 900}, {0, 0}}, {{800, 600}, {800, 0}}, {{16000, 9}, {1, 1}}};
        for (const auto& [surface, window] : pairs) {
            const PictureGeometry g = fitPicture(surface, window);
            // Nothing is repainted and every pointer event is swallowed.
            QVERIFY(!g.isValid() && g.pictureRect().isEmpty() &&
                    repaintRects(QRegion(0, 0, 9, 9), g).isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestGeometry)
#include "test_geometry.moc"
