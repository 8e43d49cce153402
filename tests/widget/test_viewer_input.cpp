// Local input through the real window: Qt key, mouse and wheel events sent to a SpiceViewer that shows
// a surface fed through the real surface handlers, with the inputs channel's senders replaced by
// recorders. What the viewer decides (bars, held keys, releases on hide and deactivation) is checked
// at the calls that would reach the server.

#include "agent.h"
#include "input.h"
#include "inputs_seam.h"
#include "spiceviewer.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStringList>
#include <QWheelEvent>
#include <QtTest>

#include <algorithm>
#include <channel-inputs.h>
#include <cstdint>
#include <vector>

namespace
{

QStringList calls;
std::vector<const void*> callChannels;

void record(SpiceInputsChannel* channel, const QString& call)
{
    callChannels.push_back(channel);
    calls << call;
}

} // namespace

namespace
{

char displayStorage;
char inputsStorage;
SpiceDisplayChannel* const fakeDisplay = reinterpret_cast<SpiceDisplayChannel*>(&displayStorage);
SpiceInputsChannel* const fakeInputs = reinterpret_cast<SpiceInputsChannel*>(&inputsStorage);

// A 100x50 surface in a 300x100 window: shown at half scale, 200x100 at x 50, bars left and right.
constexpr int kSurfaceW = 100;
constexpr int kSurfaceH = 50;
const QSize kWindow(300, 100);
const QRect kPicture(50, 0, 200, 100);

void resetCalls()
{
    calls.clear();
    callChannels.clear();
}

// Everything recorded since the last reset, which is then cleared.
QStringList takeCalls()
{
    const QStringList taken = calls;
    const bool allOurs =
        std::all_of(callChannels.begin(), callChannels.end(), [](const void* c) { return c == fakeInputs; });
    resetCalls();
    return allOurs ? taken : QStringList{QStringLiteral("call on a foreign channel")} + taken;
}

// A viewer wired to its own session record, as the program does it.
struct Rig {
    SpiceAgent agent;
    SpiceViewer viewer;
    std::vector<uint8_t> pixels = std::vector<uint8_t>(size_t(kSurfaceW) * kSurfaceH * 4, 0x80);

    Rig()
    {
        agent.inputs = fakeInputs;
        agent.viewer = &viewer;
        viewer.agent = &agent;
        viewer.resize(kWindow);
    }
    ~Rig()
    {
        agent.viewer = nullptr;
        viewer.agent = &agent; // the block is released through it
    }

    // The first surface and its first picture, painted once so that the window knows its geometry.
    bool showPicture()
    {
        display_create(fakeDisplay, 32, kSurfaceW, kSurfaceH, kSurfaceW * 4, 0, pixels.data(), &agent);
        display_update(fakeDisplay, 0, 0, kSurfaceW, kSurfaceH, &agent);
        viewer.show();
        const bool exposed = QTest::qWaitForWindowExposed(&viewer);
        viewer.grab();
        resetCalls();
        return exposed && viewer.hasPicture() && viewer.pictureGeometry().pictureRect() == kPicture;
    }
    // Only a display channel and an inputs channel: no surface has come yet.
    void channelsOnly() { agent.display = fakeDisplay; }

    bool send(QEvent& event) { return QCoreApplication::sendEvent(&viewer, &event); }

    bool mouse(QEvent::Type type, const QPoint& at, Qt::MouseButton button = Qt::NoButton,
               Qt::MouseButtons held = Qt::NoButton)
    {
        QMouseEvent event(type, QPointF(at), button, held, Qt::NoModifier);
        return send(event);
    }
    bool move(const QPoint& at, Qt::MouseButtons held = Qt::NoButton)
    {
        return mouse(QEvent::MouseMove, at, Qt::NoButton, held);
    }
    // A click of one button: press with it held, release with nothing held (as Qt reports them).
    bool click(const QPoint& at, Qt::MouseButton button)
    {
        const bool pressed = mouse(QEvent::MouseButtonPress, at, button, button);
        const bool released = mouse(QEvent::MouseButtonRelease, at, button, Qt::NoButton);
        return pressed && released;
    }
    bool wheel(const QPoint& at, int delta)
    {
        QWheelEvent event(QPointF(at), QPointF(viewer.mapToGlobal(at)), QPoint(), QPoint(0, delta),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        return send(event);
    }
    bool key(QEvent::Type type, int key, quint32 scanCode, Qt::KeyboardModifiers modifiers = Qt::NoModifier,
             const QString& text = QString(), bool autoRepeat = false)
    {
        QKeyEvent event(type, key, modifiers, scanCode, 0, 0, text, autoRepeat);
        return send(event);
    }
    bool press(int k, quint32 scanCode, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        return key(QEvent::KeyPress, k, scanCode, modifiers);
    }
    bool release(int k, quint32 scanCode, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        return key(QEvent::KeyRelease, k, scanCode, modifiers);
    }
};

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

} // namespace

class TestViewerInput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void movesOnThePictureAreSent_data();
    void movesOnThePictureAreSent();
    void barsSwallowPointerEvents_data();
    void barsSwallowPointerEvents();
    void buttonsAndWheel();
    void beforeAnyPictureOnlyKeysGoOut();
    void releaseUndoesWhatThePressSent_data();
    void releaseUndoesWhatThePressSent();
    void autoRepeatKeepsTheKeyHeld();
    void hideReleasesHeldKeys();
    void deactivationReleasesHeldKeys();
    void withoutAgentEventsAreSwallowed();
};

void TestViewerInput::initTestCase()
{
    setInputsRecorder(record);
    initScanCodeMap(scanCodeHash);
    initKeypadScanCodeMap(keypadScanCodeHash);
}

void TestViewerInput::init()
{
    resetCalls();
}

void TestViewerInput::movesOnThePictureAreSent_data()
{
    QTest::addColumn<QPoint>("window");
    QTest::addColumn<QString>("sent");
    QTest::newRow("first pixel") << QPoint(50, 0) << "position(0,0,0,0)";
    QTest::newRow("last pixel") << QPoint(249, 99) << "position(99,49,0,0)";
    QTest::newRow("centre") << QPoint(150, 50) << "position(50,25,0,0)";
    QTest::newRow("second window pixel, same surface pixel") << QPoint(51, 1) << "position(0,0,0,0)";
    QTest::newRow("next surface pixel") << QPoint(52, 2) << "position(1,1,0,0)";
}

void TestViewerInput::movesOnThePictureAreSent()
{
    QFETCH(QPoint, window);
    QFETCH(QString, sent);
    Rig rig;
    QVERIFY(rig.showPicture());
    QVERIFY(rig.move(window));
    QCOMPARE(takeCalls(), QStringList{sent});
    // With the left button held the state goes along.
    QVERIFY(rig.move(window, Qt::LeftButton));
    QCOMPARE(takeCalls(), QStringList{QString(sent).replace(QStringLiteral(",0)"), QStringLiteral(",1)"))});
}

void TestViewerInput::barsSwallowPointerEvents_data()
{
    QTest::addColumn<QPoint>("window");
    QTest::newRow("left of the first pixel") << QPoint(49, 0);
    QTest::newRow("right of the last pixel") << QPoint(250, 99);
    QTest::newRow("left bar") << QPoint(0, 50);
    QTest::newRow("right bar, far corner") << QPoint(299, 0);
}

void TestViewerInput::barsSwallowPointerEvents()
{
    QFETCH(QPoint, window);
    Rig rig;
    QVERIFY(rig.showPicture());
    // Swallowed: handled by the viewer, not sent.
    QVERIFY(rig.move(window));
    QVERIFY(rig.click(window, Qt::LeftButton));
    QVERIFY(rig.click(window, Qt::RightButton));
    QVERIFY(rig.mouse(QEvent::MouseButtonDblClick, window, Qt::LeftButton, Qt::LeftButton));
    QCOMPARE(takeCalls(), QStringList());
    // The same window is live one step inside the picture.
    QVERIFY(rig.move(QPoint(qBound(kPicture.left(), window.x(), kPicture.right()), window.y())));
    QCOMPARE(takeCalls().size(), 1);
}

void TestViewerInput::buttonsAndWheel()
{
    Rig rig;
    QVERIFY(rig.showPicture());
    const QPoint at(150, 50);
    QVERIFY(rig.click(at, Qt::LeftButton));
    QVERIFY(rig.click(at, Qt::MiddleButton));
    QVERIFY(rig.click(at, Qt::RightButton));
    QCOMPARE(takeCalls(), (QStringList{"button_press(1,1)", "button_release(0,0)", "button_press(2,2)",
                                       "button_release(0,0)", "button_press(3,4)", "button_release(0,0)"}));
    QVERIFY(rig.wheel(at, 120));
    QVERIFY(rig.wheel(at, -120));
    QCOMPARE(takeCalls(), (QStringList{"button_press(4,0)", "button_release(4,0)", "button_press(5,0)",
                                       "button_release(5,0)"}));
}

void TestViewerInput::beforeAnyPictureOnlyKeysGoOut()
{
    Rig rig;
    rig.channelsOnly();
    rig.viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.viewer));
    rig.viewer.grab();
    QVERIFY(!rig.viewer.hasPicture());
    resetCalls();

    // Nowhere to place the pointer yet.
    QVERIFY(rig.move(QPoint(150, 50)));
    QVERIFY(rig.click(QPoint(150, 50), Qt::LeftButton));
    QCOMPARE(takeCalls(), QStringList());

    QVERIFY(rig.press(Qt::Key_A, 38));
    QVERIFY(rig.release(Qt::Key_A, 38));
    QVERIFY(rig.press(Qt::Key_Return, 36));
    QVERIFY(rig.release(Qt::Key_Return, 36));
    QCOMPARE(takeCalls(),
             (QStringList{"key_press(0x1e)", "key_release(0x1e)", "key_press(0x1c)", "key_release(0x1c)"}));
    QCOMPARE(rig.viewer.heldKeyCount(), 0);
}

void TestViewerInput::releaseUndoesWhatThePressSent_data()
{
    QTest::addColumn<int>("pressKey");
    QTest::addColumn<int>("pressModifiers");
    QTest::addColumn<int>("releaseKey");
    QTest::addColumn<int>("releaseModifiers");
    QTest::addColumn<int>("scanCode");
    QTest::addColumn<QStringList>("sent");
    const int shift = Qt::ShiftModifier;
    const int keypad = Qt::KeypadModifier;
    // Shift let go first: the key reads "1" on release. Both read as the same key here.
    QTest::newRow("! then 1") << int(Qt::Key_Exclam) << shift << int(Qt::Key_1) << 0 << 10
                              << QStringList{"key_press(0x2)", "key_release(0x2)"};
    // A German layout: Shift+7 is "/", which the table places elsewhere than 7.
    QTest::newRow("/ then 7") << int(Qt::Key_Slash) << shift << int(Qt::Key_7) << 0 << 16
                              << QStringList{"key_press(0x35)", "key_release(0x35)"};
    QTest::newRow("7 then /") << int(Qt::Key_7) << 0 << int(Qt::Key_Slash) << shift << 16
                              << QStringList{"key_press(0x8)", "key_release(0x8)"};
    // The keypad keeps its own codes, on press and on release.
    QTest::newRow("keypad enter") << int(Qt::Key_Enter) << keypad << int(Qt::Key_Enter) << keypad << 104
                                  << QStringList{"key_press(0x11c)", "key_release(0x11c)"};
    QTest::newRow("keypad 7, released without the flag")
        << int(Qt::Key_7) << keypad << int(Qt::Key_7) << 0 << 79
        << QStringList{"key_press(0x47)", "key_release(0x47)"};
    QTest::newRow("keypad 7 under num lock, released as Home")
        << int(Qt::Key_7) << keypad << int(Qt::Key_Home) << keypad << 79
        << QStringList{"key_press(0x47)", "key_release(0x47)"};
}

void TestViewerInput::releaseUndoesWhatThePressSent()
{
    QFETCH(int, pressKey);
    QFETCH(int, pressModifiers);
    QFETCH(int, releaseKey);
    QFETCH(int, releaseModifiers);
    QFETCH(int, scanCode);
    QFETCH(QStringList, sent);
    Rig rig;
    QVERIFY(rig.showPicture());
    QVERIFY(rig.press(pressKey, quint32(scanCode), Qt::KeyboardModifiers(pressModifiers)));
    QCOMPARE(rig.viewer.heldKeyCount(), 1);
    QVERIFY(rig.release(releaseKey, quint32(scanCode), Qt::KeyboardModifiers(releaseModifiers)));
    QCOMPARE(takeCalls(), sent);
    QCOMPARE(rig.viewer.heldKeyCount(), 0);
    // Nothing is left to release.
    rig.viewer.hide();
    QCOMPARE(takeCalls(), QStringList());
}

void TestViewerInput::autoRepeatKeepsTheKeyHeld()
{
    Rig rig;
    QVERIFY(rig.showPicture());
    QVERIFY(rig.key(QEvent::KeyPress, Qt::Key_Slash, 16, Qt::ShiftModifier));
    // Repeats while the layout reads the key differently still repeat what was pressed.
    QVERIFY(rig.key(QEvent::KeyRelease, Qt::Key_7, 16, Qt::NoModifier, QString(), true));
    QVERIFY(rig.key(QEvent::KeyPress, Qt::Key_7, 16, Qt::NoModifier, QString(), true));
    QCOMPARE(rig.viewer.heldKeyCount(), 1);
    QVERIFY(rig.release(Qt::Key_7, 16));
    QCOMPARE(takeCalls(),
             (QStringList{"key_press(0x35)", "key_release(0x35)", "key_press(0x35)", "key_release(0x35)"}));
    QCOMPARE(rig.viewer.heldKeyCount(), 0);
}

void TestViewerInput::hideReleasesHeldKeys()
{
    Rig rig;
    QVERIFY(rig.showPicture());
    // Another window is active, so only the hiding can release anything.
    QWidget other;
    other.resize(50, 50);
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));
    QApplication::setActiveWindow(&other);
    QTRY_VERIFY(!rig.viewer.isActiveWindow());
    QVERIFY(rig.press(Qt::Key_Shift, 50, Qt::ShiftModifier));
    QVERIFY(rig.press(Qt::Key_A, 38, Qt::ShiftModifier));
    QVERIFY(rig.press(Qt::Key_Enter, 104, Qt::ShiftModifier | Qt::KeypadModifier));
    QVERIFY(rig.press(Qt::Key_B, 56));
    QVERIFY(rig.release(Qt::Key_B, 56));
    QCOMPARE(rig.viewer.heldKeyCount(), 3);
    resetCalls();

    rig.viewer.hide();
    QCOMPARE(sorted(takeCalls()),
             (QStringList{"key_release(0x11c)", "key_release(0x1e)", "key_release(0x2a)"}));
    QCOMPARE(rig.viewer.heldKeyCount(), 0);
    // Hiding again has nothing more to release.
    rig.viewer.show();
    rig.viewer.hide();
    QCOMPARE(takeCalls(), QStringList());
}

void TestViewerInput::deactivationReleasesHeldKeys()
{
    Rig rig;
    QVERIFY(rig.showPicture());
    QApplication::setActiveWindow(&rig.viewer);
    QVERIFY(QTest::qWaitForWindowActive(&rig.viewer));
    QVERIFY(rig.press(Qt::Key_Control, 37, Qt::ControlModifier));
    QVERIFY(rig.press(Qt::Key_C, 54, Qt::ControlModifier));
    resetCalls();

    QWidget other;
    other.resize(50, 50);
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));
    QApplication::setActiveWindow(&other);
    QTRY_VERIFY(!rig.viewer.isActiveWindow());
    QCOMPARE(sorted(takeCalls()), (QStringList{"key_release(0x1d)", "key_release(0x2e)"}));
    QCOMPARE(rig.viewer.heldKeyCount(), 0);
    QVERIFY(rig.viewer.isVisible());
}

void TestViewerInput::withoutAgentEventsAreSwallowed()
{
    // A window that never had a session.
    {
        SpiceViewer viewer;
        viewer.resize(kWindow);
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, 38, 0, 0);
        QVERIFY(QCoreApplication::sendEvent(&viewer, &press));
        QMouseEvent click(QEvent::MouseButtonPress, QPointF(150, 50), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QVERIFY(QCoreApplication::sendEvent(&viewer, &click));
        viewer.hide();
        QCOMPARE(takeCalls(), QStringList());
    }

    // A window whose session record was taken away while it shows a picture and a key is down.
    Rig rig;
    QVERIFY(rig.showPicture());
    QVERIFY(rig.press(Qt::Key_A, 38));
    resetCalls();
    rig.viewer.agent = nullptr;
    QVERIFY(rig.press(Qt::Key_B, 56));
    QVERIFY(rig.release(Qt::Key_B, 56));
    QVERIFY(rig.move(QPoint(150, 50)));
    QVERIFY(rig.click(QPoint(150, 50), Qt::LeftButton));
    QVERIFY(rig.mouse(QEvent::MouseButtonDblClick, QPoint(150, 50), Qt::LeftButton, Qt::LeftButton));
    QVERIFY(rig.wheel(QPoint(150, 50), 120));
    rig.viewer.hide();
    QCOMPARE(takeCalls(), QStringList());
    QCOMPARE(rig.viewer.heldKeyCount(), 0);
}

QTEST_MAIN(TestViewerInput)
#include "test_viewer_input.moc"
