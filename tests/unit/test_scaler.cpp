#include "scaler.h"

#include <QtTest>
#include <random>

class TestScaler : public QObject
{
    Q_OBJECT
    std::mt19937 rng{1};

    // Noise is the hardest case for seams: every pixel differs from its neighbours.
    void fillNoise(QImage& image, const QRect& rect)
    {
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                reinterpret_cast<QRgb*>(image.scanLine(y))[x] = rng() | 0xff000000u;
    }
    // Up to 40 pixels a side; two thirds of them against an edge, where the filter is clipped.
    QRect randomRect(const QSize& bounds)
    {
        const int w = std::min(1 + int(rng() % 40), bounds.width()),
                  h = std::min(1 + int(rng() % 40), bounds.height());
        const auto place = [&](int room) {
            return rng() % 3 == 0 ? 0 : rng() % 2 ? room : int(rng() % (room + 1));
        };
        return QRect(place(bounds.width() - w), place(bounds.height() - h), w, h);
    }
    static QImage scaled(const QImage& source, const QSize& size, const QRect& rect = QRect(0, 0, 9999, 9999))
    {
        QImage target(size, QImage::Format_RGB32);
        target.fill(Qt::magenta);
        scaleRegion(source, target, rect);
        return target;
    }

private Q_SLOTS:
    void regionsAndVectorWidthsGiveTheFullScalarRescale_data()
    {
        QTest::addColumn<QSize>("from");
        QTest::addColumn<QSize>("to");
        QTest::newRow("down 2.4x") << QSize(1920, 1080) << QSize(800, 450);
        QTest::newRow("down, odd") << QSize(1920, 1080) << QSize(801, 450);
        QTest::newRow("down 20x, past the box cap") << QSize(1920, 1080) << QSize(96, 54);
        QTest::newRow("up, odd") << QSize(333, 197) << QSize(1013, 599);
        QTest::newRow("down x, up y") << QSize(1024, 300) << QSize(700, 410);
        QTest::newRow("to 1x1") << QSize(300, 200) << QSize(1, 1);
    }
    void regionsAndVectorWidthsGiveTheFullScalarRescale()
    {
        QFETCH(QSize, from);
        QFETCH(QSize, to);
        QImage source(from, QImage::Format_RGB32);
        fillNoise(source, source.rect());
        // Every vector width gives the plain code's bytes, also for a rectangle leaving odd tails.
        const QRect odd(to.width() / 3, 1, to.width() / 3 + 1, 3);
        setScalerVectorWidth(0);
        const QImage whole = scaled(source, to), part = scaled(source, to, odd);
        for (int bits : {128, 256}) {
            setScalerVectorWidth(bits);
            QVERIFY2(scaled(source, to) == whole && scaled(source, to, odd) == part,
                     qPrintable(QString::number(bits)));
        }
        // Tiles that divide neither side end at every kind of offset; together they are the whole.
        QImage target = scaled(source, to, QRect());
        for (int y = 0; y < to.height(); y += 37)
            for (int x = 0; x < to.width(); x += 61)
                scaleRegion(source, target, QRect(x, y, 61, 37));
        QVERIFY(target == whole);
        // Rescaling only what a change affects leaves no stale pixel.
        for (int i = 0; i < 30; ++i) {
            const QRect changed = randomRect(from);
            fillNoise(source, changed);
            scaleRegion(source, target, affectedTargetRect(changed, from, to));
            QVERIFY2(target == scaled(source, to),
                     QByteArray::number(i)); // the seed gives the same rectangles
        }
    }
};

QTEST_GUILESS_MAIN(TestScaler)
#include "test_scaler.moc"
