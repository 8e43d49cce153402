// Which client monitors and windows become which guest monitors, and when a picture is shown 1:1.
#include "geometry.h"
#include "monitor_layout.h"
#include <QtTest>

using Plan = QMap<int, QRect>;
using Screens = QMap<int, int>;
Q_DECLARE_METATYPE(ClientLayout)

class TestMonitorLayout : public QObject
{
    Q_OBJECT
    static ClientWindow window(int monitor, QSize size, ClientWindow::State state = ClientWindow::Shown)
    {
        ClientWindow w;
        w.monitor = monitor;
        w.size = size;
        w.state = state;
        return w;
    }
    static ClientLayout layout(QVector<ClientWindow> windows, bool fullScreen = false, int screen = 0)
    {
        ClientLayout l;
        // Left and right, and one below the left, listed out of order.
        l.screens = {QRect(1280, 0, 1024, 768), QRect(0, 0, 1280, 1024), QRect(0, 1024, 800, 600)};
        l.screen = screen;
        l.fullScreen = fullScreen;
        l.windows = windows;
        return l;
    }

private Q_SLOTS:
    void plans_data()
    {
        QTest::addColumn<ClientLayout>("client");
        QTest::addColumn<int>("most"); // monitors the guest offers
        QTest::addColumn<Plan>("monitors");
        QTest::addColumn<Screens>("screens");
        const Screens none;
        QTest::newRow("the guest as it is: no wish asks nothing new")
            << layout({window(0, QSize(), ClientWindow::Shown)}) << 2
            << Plan{{0, QRect(0, 0, 1024, 768)}, {1, QRect(1024, 0, 800, 600)}} << none;
        QTest::newRow("a resized window, the other kept, left to right")
            << layout({window(0, QSize(1100, 801))}) << 2
            << Plan{{0, QRect(0, 0, 1100, 801)}, {1, QRect(1100, 0, 800, 600)}} << none;
        QTest::newRow("hidden and minimised windows keep their monitors")
            << layout({window(0, QSize(640, 480), ClientWindow::Hidden),
                       window(1, QSize(320, 200), ClientWindow::Minimised)})
            << 2 << Plan{{0, QRect(0, 0, 1024, 768)}, {1, QRect(1024, 0, 800, 600)}} << none;
        QTest::newRow("a closed window turns its monitor off")
            << layout({window(0, QSize(1100, 800)), window(1, QSize(), ClientWindow::Closed)}) << 2
            << Plan{{0, QRect(0, 0, 1100, 800)}, {1, QRect()}} << none;
        QTest::newRow("full screen: the window's screen first, the others left to right, from the origin")
            << layout({window(0, QSize(1024, 768))}, true, 0) << 3
            << Plan{{0, QRect(1280, 0, 1024, 768)},
                    {1, QRect(0, 0, 1280, 1024)},
                    {2, QRect(0, 1024, 800, 600)}}
            << Screens{{0, 0}, {1, 1}, {2, 2}};
        QTest::newRow("full screen: as many monitors as the guest offers, the rest off")
            << layout({window(0, QSize(1280, 1024))}, true, 1) << 1
            << Plan{{0, QRect(0, 0, 1280, 1024)}, {1, QRect()}} << Screens{{0, 1}};
        QTest::newRow("full screen on the lower screen, two of three")
            << layout({}, true, 2) << 2 << Plan{{0, QRect(0, 1024, 800, 600)}, {1, QRect(0, 0, 1280, 1024)}}
            << Screens{{0, 2}, {1, 1}};
    }
    void plans()
    {
        QFETCH(ClientLayout, client);
        QFETCH(int, most);
        QFETCH(Plan, monitors);
        QFETCH(Screens, screens);
        const QMap<int, QSize> guest{{0, QSize(1024, 768)}, {1, QSize(800, 600)}};
        const MonitorPlan plan = planMonitors(client, guest, most);
        QCOMPARE(plan.monitors, monitors);
        QCOMPARE(plan.screens, screens);
    }
    void nothingToAskWithoutMonitors()
    {
        QVERIFY(planMonitors(layout({window(0, QSize(), ClientWindow::Hidden)}), {}, 2).monitors.isEmpty());
        // A closed window alone turns nothing off: every monitor would be.
        QVERIFY(planMonitors(layout({window(0, QSize(), ClientWindow::Closed)}), {{0, QSize(800, 600)}}, 1)
                    .monitors.isEmpty());
    }
    void monitorsOfSurfaces()
    {
        // One surface with two monitors, one past its edge, one off; a second channel without a
        // list; a third without a surface yet; a fourth whose id meets the first's second monitor.
        const QVector<DisplayMonitors> displays{
            {0,
             QSize(1824, 768),
             {QRect(0, 0, 1024, 768), QRect(1024, 0, 900, 600), QRect(), QRect(1824, 0, 8, 8)}},
            {5, QSize(640, 480), {}},
            {6, QSize(), {}},
            {1, QSize(320, 200), {}},
        };
        const QVector<GuestMonitor> monitors = guestMonitors(displays);
        QCOMPARE(monitors.size(), 3);
        QCOMPARE(monitors[0], (GuestMonitor{0, 0, QRect(0, 0, 1024, 768), -1}));
        QCOMPARE(monitors[1], (GuestMonitor{1, 0, QRect(1024, 0, 800, 600), -1}));
        QCOMPARE(monitors[2], (GuestMonitor{5, 5, QRect(0, 0, 640, 480), -1}));
    }
    void oneToOneWithinAFewPixels_data()
    {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QSize>("window");
        QTest::addColumn<bool>("snap");
        QTest::addColumn<QRect>("shown");
        // A width rounded alone fits the height exactly: 1:1 with or without the rule.
        QTest::newRow("7 narrower") << QSize(1096, 800) << QSize(1103, 800) << false
                                    << QRect(3, 0, 1096, 800);
        QTest::newRow("7 narrower and lower")
            << QSize(1096, 793) << QSize(1103, 800) << true << QRect(3, 3, 1096, 793);
        QTest::newRow("8 lower: scaled")
            << QSize(1096, 792) << QSize(1104, 800) << true << QRect(0, 1, 1104, 797);
        QTest::newRow("1 wider: scaled down")
            << QSize(1105, 800) << QSize(1104, 800) << true << QRect(0, 0, 1104, 799);
        QTest::newRow("the guest not following: scaled")
            << QSize(1096, 793) << QSize(1103, 800) << false << QRect(0, 1, 1103, 798);
    }
    void oneToOneWithinAFewPixels()
    {
        QFETCH(QSize, picture);
        QFETCH(QSize, window);
        QFETCH(bool, snap);
        QFETCH(QRect, shown);
        QCOMPARE(fitPicture(picture, window, snap).pictureRect(), shown);
    }
};

QTEST_GUILESS_MAIN(TestMonitorLayout)
#include "test_monitor_layout.moc"
