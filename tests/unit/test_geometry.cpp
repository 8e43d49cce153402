#include "geometry.h"

#include <QtTest>
#include <cmath>

class TestGeometry : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fitKeepsAspectAndCentres_data()
    {
        QTest::addColumn<QSize>("surface");
        QTest::addColumn<QSize>("window");
        QTest::addColumn<QRect>("picture");
        QTest::newRow("wider surface: bars above and below")
            << QSize(1600, 900) << QSize(800, 600) << QRect(0, 75, 800, 450);
        QTest::newRow("taller surface: bars left and right")
            << QSize(600, 800) << QSize(800, 600) << QRect(175, 0, 450, 600);
        QTest::newRow("same aspect, enlarged") << QSize(400, 300) << QSize(800, 600) << QRect(0, 0, 800, 600);
        QTest::newRow("odd window keeps truncation")
            << QSize(1920, 1080) << QSize(801, 601) << QRect(0, 75, 801, 450);
        QTest::newRow("1x1 surface") << QSize(1, 1) << QSize(800, 600) << QRect(100, 0, 600, 600);
    }
    void fitKeepsAspectAndCentres()
    {
        QFETCH(QSize, surface);
        QFETCH(QSize, window);
        QFETCH(QRect, picture);
        PictureGeometry g = fitPicture(surface, window);
        QVERIFY(g.isValid());
        QCOMPARE(g.pictureRect(), picture);
        // The picture always fits and touches two opposite window edges.
        QVERIFY(QRect(QPoint(0, 0), window).contains(g.pictureRect()));
        QVERIFY(g.scaledSize.width() == window.width() || g.scaledSize.height() == window.height());
        QCOMPARE(g.scaleX, float(surface.width()) / float(picture.width()));
        QCOMPARE(g.scaleY, float(surface.height()) / float(picture.height()));
    }

    void emptySizesGiveNoGeometry_data()
    {
        QTest::addColumn<QSize>("surface");
        QTest::addColumn<QSize>("window");
        QTest::newRow("empty surface") << QSize(0, 0) << QSize(800, 600);
        QTest::newRow("zero width") << QSize(0, 900) << QSize(800, 600);
        QTest::newRow("negative") << QSize(-5, 10) << QSize(800, 600);
        QTest::newRow("empty window") << QSize(1600, 900) << QSize(0, 0);
        QTest::newRow("window one row") << QSize(16000, 9) << QSize(1, 1);
    }
    void emptySizesGiveNoGeometry()
    {
        QFETCH(QSize, surface);
        QFETCH(QSize, window);
        PictureGeometry g = fitPicture(surface, window);
        if (g.isValid()) {
            // Only a real, finite mapping is ever reported valid.
            QVERIFY(!g.scaledSize.isEmpty());
            QVERIFY(std::isfinite(g.scaleX) && g.scaleX > 0);
        } else {
            QVERIFY(repaintRects(QRegion(0, 0, 10, 10), g).isEmpty());
        }
    }

    void windowPointsMapToSurfacePixels()
    {
        PictureGeometry g = fitPicture(QSize(1600, 900), QSize(800, 600));
        QCOMPARE(windowToSurface(QPoint(400, 375), g), QPoint(800, 600));
        QCOMPARE(windowToSurface(QPoint(0, 75), g), QPoint(0, 0));
        // The last window pixel of the picture lands on a surface pixel inside the surface.
        QPoint last = windowToSurface(g.pictureRect().bottomRight(), g);
        QVERIFY(last.x() < 1600 && last.y() < 900);
        QCOMPARE(last, QPoint(1598, 898));
        // Right edge included, one more pixel outside the picture.
        QVERIFY(g.pictureRect().contains(QPoint(g.xOffset + g.scaledSize.width() - 1, 100)));
        QVERIFY(!g.pictureRect().contains(QPoint(g.xOffset + g.scaledSize.width(), 100)));
    }

    void everyWindowPixelOfThePictureMapsInsideTheSurface()
    {
        const QSize surfaces[] = {{1920, 1080}, {1024, 768}, {333, 777}, {640, 480}};
        const QSize windows[] = {{800, 600}, {801, 599}, {1920, 1200}, {17, 1000}};
        for (QSize s : surfaces) {
            for (QSize w : windows) {
                PictureGeometry g = fitPicture(s, w);
                QRect r = g.pictureRect();
                for (QPoint p : {r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight(), r.center()}) {
                    QPoint sp = windowToSurface(p, g);
                    QVERIFY2(QRect(QPoint(0, 0), s).contains(sp), qPrintable(QString("%1x%2 in %3x%4")
                                                                                 .arg(s.width())
                                                                                 .arg(s.height())
                                                                                 .arg(w.width())
                                                                                 .arg(w.height())));
                }
            }
        }
    }

    void repaintRectsCoverTheChange()
    {
        PictureGeometry g = fitPicture(QSize(1600, 900), QSize(800, 600));
        QRegion dirty(QRect(100, 100, 50, 20));
        QVector<QRect> rects = repaintRects(dirty, g);
        QCOMPARE(rects.size(), 1);
        // (100/2 + 0, 100/2 + 75) widened by one window pixel on each side.
        QCOMPARE(rects[0], QRect(49, 124, 26 + 2, 11 + 2));
        QRect shown(g.xOffset + 50, g.yOffset + 50, 25, 10);
        QVERIFY(rects[0].contains(shown));
    }

    void fifteenRectsRepaintSeparatelySixteenAsOne()
    {
        PictureGeometry g = fitPicture(QSize(1600, 900), QSize(800, 600));
        QRegion fifteen, sixteen;
        for (int i = 0; i < 16; ++i) {
            QRect r(i * 100, i * 50, 10, 10);
            if (i < 15)
                fifteen += r;
            sixteen += r;
        }
        QCOMPARE(fifteen.rectCount(), 15);
        QCOMPARE(repaintRects(fifteen, g).size(), 15);
        QVector<QRect> one = repaintRects(sixteen, g);
        QCOMPARE(one.size(), 1);
        QRect bound = sixteen.boundingRect();
        QCOMPARE(one[0], QRect(int(bound.x() / 2.0f + 0), int(bound.y() / 2.0f + 75),
                               int(bound.width() / 2.0f + 2), int(bound.height() / 2.0f + 2)));
    }

    void noRepaintBeforeAPaintGaveAScale()
    {
        PictureGeometry unpainted;
        QVERIFY(!unpainted.isValid());
        QVERIFY(repaintRects(QRegion(0, 0, 100, 100), unpainted).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestGeometry)
#include "test_geometry.moc"
