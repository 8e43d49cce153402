// Window activation and mapping against a real X server.
#include "instance.h"

#include <QWidget>
#include <QX11Info>
#include <QtTest>

#include <X11/Xlib.h>

namespace
{

// A second connection that sees what a window manager would: requests sent to the root window.
class RootListener
{
public:
    RootListener() : display(XOpenDisplay(nullptr))
    {
        if (!display)
            return;
        XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
        activeWindow = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
        XSync(display, False);
    }
    ~RootListener()
    {
        if (display)
            XCloseDisplay(display);
    }
    bool ok() const { return display != nullptr; }

    // The activation requests that arrived within `ms` milliseconds.
    QVector<XClientMessageEvent> activations(int ms)
    {
        QVector<XClientMessageEvent> found;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type == ClientMessage && event.xclient.message_type == activeWindow)
                    found.append(event.xclient);
            }
            QTest::qWait(10);
        }
        return found;
    }

private:
    Display* display;
    Atom activeWindow = 0;
};

int mapState(unsigned long window)
{
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(QX11Info::display(), window, &attributes))
        return -1;
    return attributes.map_state;
}

} // namespace

class TestX11Window : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        if (!QX11Info::isPlatformX11())
            QSKIP("needs an X server");
    }

    void activationRequestReachesTheRootWindow()
    {
        RootListener root;
        QVERIFY(root.ok());
        QWidget window;
        window.resize(200, 100);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        activate_window(int(window.winId()));
        QVector<XClientMessageEvent> requests = root.activations(500);
        QCOMPARE(requests.size(), 1);
        const XClientMessageEvent& request = requests.first();
        QCOMPARE(request.window, Window(window.winId()));
        QCOMPARE(request.format, 32);
        QCOMPARE(request.data.l[0], 2L); // source: a pager
        QCOMPARE(request.data.l[1], 0L); // CurrentTime
        QCOMPARE(request.data.l[2], 0L);
    }

    void aWindowThatCannotBeReadIsNotAskedFor()
    {
        RootListener root;
        QVERIFY(root.ok());
        Display* display = QX11Info::display();
        Window gone = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
        XDestroyWindow(display, gone); // the window goes away, its id stays with us
        XSync(display, False);
        activate_window(int(gone));
        activate_window(0x7ffffff0);
        QCOMPARE(root.activations(300).size(), 0);
    }

    void noDisplayIsReportedNotFatal()
    {
        QByteArray saved = qgetenv("DISPLAY");
        qputenv("DISPLAY", ":99999");
        activate_window(1); // prints its line and returns
        qputenv("DISPLAY", saved);
    }

    void mapAndUnmapOnQtsConnection()
    {
        QWidget window;
        window.resize(100, 100);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const unsigned long id = window.winId();
        x11_windowunmap(int(id));
        QTRY_COMPARE(mapState(id), IsUnmapped);
        x11_windowmap(int(id));
        QTRY_COMPARE(mapState(id), IsViewable);
        x11_windowmap(0); // no window: nothing happens
        x11_windowunmap(0);
        QCOMPARE(mapState(id), IsViewable);
    }
};

QTEST_MAIN(TestX11Window)
#include "test_x11_window.moc"
