// Qt events to the session's typed input, without a window: wheel steps, pointer decisions, keys.
#include "inputmap.h"
#include <QKeyEvent>
#include <QtTest>

class TestInput : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // However the wheel's 1200 units arrive (a touchpad's small steps, notches, several at once),
    // they make ten notches; sideways scrolling makes none, and a turn back starts afresh.
    void wheelStepsAddUpToNotches()
    {
        for (int step : {1, 8, 15, 40, 120, 400, -15, -120}) {
            WheelSteps steps;
            int notches = 0, sideways = 0;
            for (int sent = 0; sent < 1200; sent += qAbs(step)) {
                notches += steps.add(QPoint(0, step));
                sideways += steps.add(QPoint(step, 0));
            }
            QCOMPARE(notches, step > 0 ? 10 : -10);
            QCOMPARE(sideways, 0);
        }
        WheelSteps steps;
        QCOMPARE(steps.add(QPoint(0, 100)) + steps.add(QPoint(0, -100)) + steps.add(QPoint(0, 100)), 0);
        QCOMPARE(steps.add(QPoint(0, 20)), 1);
    }
    // Across every state of the pointer: nothing on the bars reaches the server but a drag that
    // started on the picture; a release reaches it exactly when its press did; in server mode the
    // first click only takes the pointer, and held motion is relative.
    void pointerDecisions()
    {
        const QEvent::Type types[] = {QEvent::MouseMove, QEvent::MouseButtonPress,
                                      QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease};
        for (int bits = 0; bits < 32; ++bits) {
            PointerState s;
            s.pictureShown = bits & 1;
            s.inside = s.pictureShown && (bits & 2);
            s.serverMouse = bits & 4;
            s.grabbed = s.serverMouse && (bits & 8);
            s.heldButtons = bits & 16 ? int(Qt::LeftButton) : 0;
            for (QEvent::Type type : types) {
                const PointerAction a = pointerAction(type, Qt::LeftButton, s);
                const QByteArray where = QByteArray::number(bits) + " type " + QByteArray::number(type);
                const bool sent = a != PointerAction::Ignore && a != PointerAction::TakePointer;
                if (type == QEvent::MouseButtonRelease)
                    QVERIFY2(sent == bool(s.heldButtons), where);
                else if (!s.inside && !s.grabbed)
                    QVERIFY2(!sent || (type == QEvent::MouseMove && s.heldButtons && !s.serverMouse), where);
                if (s.serverMouse && !s.grabbed && type != QEvent::MouseButtonRelease)
                    QVERIFY2(!sent &&
                                 (a == PointerAction::TakePointer) == (s.inside && type != QEvent::MouseMove),
                             where);
                if (s.grabbed && type == QEvent::MouseMove)
                    QVERIFY2(a == PointerAction::MoveBy, where);
                if (a == PointerAction::ReleaseAtEdge)
                    QVERIFY2(!s.inside && s.pictureShown && !s.serverMouse, where);
            }
        }
    }
    void keysCarryTheirPhysicalKeyAndKeypadFlag()
    {
        const QKeyEvent pad(QEvent::KeyPress, Qt::Key_8, Qt::KeypadModifier | Qt::ShiftModifier, 80, 0, 0);
        const KeyInput k = keyInput(pad);
        QVERIFY(k.nativeScanCode == 80 && k.key == Qt::Key_8 && k.keypad);
        QCOMPARE(k.modifiers, uint32_t(Qt::KeypadModifier | Qt::ShiftModifier));
        QVERIFY(!keyInput(QKeyEvent(QEvent::KeyPress, Qt::Key_8, Qt::NoModifier)).keypad);
    }
};

QTEST_GUILESS_MAIN(TestInput)
#include "test_input.moc"
