#include "agent.h"
#include "input.h"
#include "inputs_seam.h"

#include <QRegularExpression>
#include <QStringList>
#include <QtTest>

#include <channel-inputs.h>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

// Log lines and channel calls land in one timeline so their order can be checked.
namespace
{

QStringList timeline;
std::vector<const void*> callChannels;

void record(SpiceInputsChannel* channel, const QString& call)
{
    callChannels.push_back(channel);
    timeline << call;
}

// Stands in for stdout while an event is handled; each finished line is reduced to "[LEVEL] text".
class LineCapture : public std::streambuf
{
public:
    void finish()
    {
        if (!pending.empty())
            timeline << QStringLiteral("UNTERMINATED: ") + QString::fromStdString(pending);
        pending.clear();
    }

protected:
    int_type overflow(int_type ch) override
    {
        if (!traits_type::eq_int_type(ch, traits_type::eof()))
            put(traits_type::to_char_type(ch));
        return traits_type::not_eof(ch);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        for (std::streamsize i = 0; i < n; ++i)
            put(s[i]);
        return n;
    }

private:
    void put(char c)
    {
        if (c != '\n') {
            pending.push_back(c);
            return;
        }
        static const QRegularExpression shape(
            QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} (\\[[A-Z]+\\]) (.*)$"));
        const QString line = QString::fromStdString(pending);
        const auto match = shape.match(line);
        timeline << (match.hasMatch() ? match.captured(1) + QLatin1Char(' ') + match.captured(2)
                                      : QStringLiteral("MALFORMED: ") + line);
        pending.clear();
    }

    std::string pending;
};

} // namespace

namespace
{

constexpr int MouseButtonPress = 2;
constexpr int MouseButtonRelease = 3;
constexpr int MouseButtonDblClick = 4;
constexpr int MouseMove = 5;
constexpr int KeyPress = 6;
constexpr int KeyRelease = 7;
constexpr int Wheel = 31;

constexpr uint32_t Ctrl = Qt::ControlModifier;
constexpr uint32_t Alt = Qt::AltModifier;
constexpr uint32_t Meta = Qt::MetaModifier;
constexpr uint32_t Shift = Qt::ShiftModifier;
constexpr uint32_t Keypad = Qt::KeypadModifier;

int dummyDisplay;
int dummyInputs;
SpiceDisplayChannel* const fakeDisplay = reinterpret_cast<SpiceDisplayChannel*>(&dummyDisplay);
SpiceInputsChannel* const fakeInputs = reinterpret_cast<SpiceInputsChannel*>(&dummyInputs);

KM_EVENT makeEvent(int type)
{
    KM_EVENT event{};
    event.type = type;
    return event;
}

KM_EVENT keyEvent(int type, int key, uint32_t modifiers = 0, bool keypad = false)
{
    KM_EVENT event = makeEvent(type);
    event.key = key;
    event.modifiers = modifiers;
    event.keypad = keypad;
    return event;
}

KM_EVENT mouseEvent(int type, int buttons)
{
    KM_EVENT event = makeEvent(type);
    event.buttons = buttons;
    return event;
}

// Runs one event with stdout captured; the timeline holds what it logged and sent, in order.
int deliver(KM_EVENT event, SpiceAgent& agent)
{
    timeline.clear();
    callChannels.clear();
    LineCapture capture;
    std::streambuf* previous = std::cout.rdbuf(&capture);
    const int rc = syncKeyMouse(event, &agent);
    std::cout.rdbuf(previous);
    capture.finish();
    return rc;
}

} // namespace

Q_DECLARE_METATYPE(KM_EVENT)

class TestInput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void withoutSurfaceNothingHappens_data();
    void withoutSurfaceNothingHappens();
    void withoutInputsOnlyUnknownTypesLog_data();
    void withoutInputsOnlyUnknownTypesLog();
    void events_data();
    void events();
    void eventsCarryNoMemory();
    void combinationsUseTheMainTable();

private:
    SpiceAgent agent;
};

void TestInput::initTestCase()
{
    setInputsRecorder(record);
    initScanCodeMap(scanCodeHash);
    initKeypadScanCodeMap(keypadScanCodeHash);
    agent.display = fakeDisplay;
    agent.inputs = fakeInputs;
    agent.display_id = 0;
}

void TestInput::withoutSurfaceNothingHappens_data()
{
    QTest::addColumn<KM_EVENT>("event");
    QTest::newRow("key") << keyEvent(KeyPress, Qt::Key_A);
    QTest::newRow("ctrl+alt+del") << keyEvent(KeyPress, Qt::Key_Delete, Ctrl | Alt);
    QTest::newRow("move") << mouseEvent(MouseMove, 1);
    QTest::newRow("press") << mouseEvent(MouseButtonPress, 1);
    QTest::newRow("dblclick") << mouseEvent(MouseButtonDblClick, 1);
    QTest::newRow("wheel") << mouseEvent(Wheel, 0);
    QTest::newRow("type 8") << makeEvent(8);
    QTest::newRow("type 0") << makeEvent(0);
}

void TestInput::withoutSurfaceNothingHappens()
{
    QFETCH(KM_EVENT, event);
    for (SpiceInputsChannel* inputs : {fakeInputs, static_cast<SpiceInputsChannel*>(nullptr)}) {
        SpiceAgent bare;
        bare.inputs = inputs;
        QCOMPARE(deliver(event, bare), 1);
        QCOMPARE(timeline, QStringList());
    }
}

void TestInput::withoutInputsOnlyUnknownTypesLog_data()
{
    QTest::addColumn<KM_EVENT>("event");
    QTest::addColumn<int>("rc");
    QTest::addColumn<QStringList>("expected");
    const QStringList none;
    const QStringList error{QStringLiteral("[ERROR] recv not key and mouse event")};
    QTest::newRow("key press") << keyEvent(KeyPress, Qt::Key_A) << 1 << none;
    QTest::newRow("key release") << keyEvent(KeyRelease, Qt::Key_A) << 1 << none;
    QTest::newRow("ctrl+alt+del") << keyEvent(KeyPress, Qt::Key_Delete, Ctrl | Alt) << 1 << none;
    QTest::newRow("win+r") << keyEvent(KeyPress, Qt::Key_R, Meta) << 1 << none;
    QTest::newRow("move") << mouseEvent(MouseMove, 1) << 1 << none;
    QTest::newRow("press") << mouseEvent(MouseButtonPress, 1) << 1 << none;
    QTest::newRow("release") << mouseEvent(MouseButtonRelease, 0) << 1 << none;
    QTest::newRow("dblclick") << mouseEvent(MouseButtonDblClick, 1) << 1 << none;
    QTest::newRow("wheel") << mouseEvent(Wheel, 0) << 1 << none;
    QTest::newRow("type 8") << makeEvent(8) << 0 << error;
    QTest::newRow("type 1") << makeEvent(1) << 0 << error;
}

void TestInput::withoutInputsOnlyUnknownTypesLog()
{
    QFETCH(KM_EVENT, event);
    QFETCH(int, rc);
    QFETCH(QStringList, expected);
    SpiceAgent noInputs;
    noInputs.display = fakeDisplay;
    QCOMPARE(deliver(event, noInputs), rc);
    QCOMPARE(timeline, expected);
}

void TestInput::events_data()
{
    QTest::addColumn<KM_EVENT>("event");
    QTest::addColumn<int>("displayId");
    QTest::addColumn<int>("rc");
    QTest::addColumn<QStringList>("expected");

    const QString error = QStringLiteral("[ERROR] recv not key and mouse event");
    for (int type : {0, 1, 8, 30, 32, 51})
        QTest::addRow("unknown type %d", type) << makeEvent(type) << 0 << 0 << QStringList{error};

    // Pointer motion.
    {
        KM_EVENT move = mouseEvent(MouseMove, 2);
        move.x = 10;
        move.y = 20;
        QTest::newRow("move with right held") << move << 2 << 1 << QStringList{"position(10,20,2,4)"};
        move.x = -3;
        move.y = 7000;
        move.buttons = 0;
        QTest::newRow("move out of range") << move << 0 << 1 << QStringList{"position(-3,7000,0,0)"};
        move.buttons = 7;
        QTest::newRow("move with all held") << move << 1 << 1 << QStringList{"position(-3,7000,1,7)"};
    }

    // Buttons: the button number comes from the whole mask, so a second held button yields 0.
    QTest::newRow("left press") << mouseEvent(MouseButtonPress, 1) << 0 << 1
                                << QStringList{"[DEBUG] MouseButtonPress1", "button_press(1,1)"};
    QTest::newRow("right press") << mouseEvent(MouseButtonPress, 2) << 0 << 1
                                 << QStringList{"[DEBUG] MouseButtonPress2", "button_press(3,4)"};
    QTest::newRow("middle press") << mouseEvent(MouseButtonPress, 4) << 0 << 1
                                  << QStringList{"[DEBUG] MouseButtonPress4", "button_press(2,2)"};
    QTest::newRow("right while left held") << mouseEvent(MouseButtonPress, 3) << 0 << 1
                                           << QStringList{"[DEBUG] MouseButtonPress3", "button_press(0,5)"};
    QTest::newRow("release all") << mouseEvent(MouseButtonRelease, 0) << 0 << 1
                                 << QStringList{"[DEBUG] MouseButtonRelease0", "button_release(0,0)"};
    QTest::newRow("release leaving right")
        << mouseEvent(MouseButtonRelease, 2) << 0 << 1
        << QStringList{"[DEBUG] MouseButtonRelease2", "button_release(3,4)"};
    QTest::newRow("back button press") << mouseEvent(MouseButtonPress, 8) << 0 << 1
                                       << QStringList{"[DEBUG] MouseButtonPress8", "button_press(0,0)"};

    // Double clicks always complete a left click, whichever button was used.
    for (int buttons : {2, 1, 4, 0}) {
        QTest::addRow("dblclick %d", buttons)
            << mouseEvent(MouseButtonDblClick, buttons) << 0 << 1
            << QStringList{QStringLiteral("[DEBUG] MouseButtonDblClick%1").arg(buttons), "button_press(1,1)",
                           "button_release(1,0)"};
    }

    // Wheel steps are a press and release of button 4 (up) or 5 (down) with the held state.
    {
        KM_EVENT up = mouseEvent(Wheel, 0);
        up.wheel_up = true;
        QTest::newRow("wheel up") << up << 0 << 1
                                  << QStringList{"[DEBUG] Wheel1", "button_press(4,0)",
                                                 "button_release(4,0)"};
        up.buttons = 3;
        QTest::newRow("wheel up, left+right held")
            << up << 0 << 1 << QStringList{"[DEBUG] Wheel1", "button_press(4,5)", "button_release(4,5)"};
        KM_EVENT down = mouseEvent(Wheel, 1);
        QTest::newRow("wheel down, left held")
            << down << 0 << 1 << QStringList{"[DEBUG] Wheel0", "button_press(5,1)", "button_release(5,1)"};
        down.buttons = 4;
        QTest::newRow("wheel down, middle held")
            << down << 0 << 1 << QStringList{"[DEBUG] Wheel0", "button_press(5,2)", "button_release(5,2)"};
    }

    // Ctrl+Alt+Del is sent whole; a release repeats the presses before letting go in reverse.
    const QStringList cadPress{"[INFO] Ctrl+Alt+Del pressed", "key_press(0x1d)", "key_press(0x38)",
                               "key_press(0x153)"};
    const QStringList cadRelease{
        "[INFO] Ctrl+Alt+Del released", "key_press(0x1d)",   "key_press(0x38)",  "key_press(0x153)",
        "key_release(0x153)",           "key_release(0x38)", "key_release(0x1d)"};
    QTest::newRow("ctrl+alt+del press")
        << keyEvent(KeyPress, Qt::Key_Delete, Ctrl | Alt) << 0 << 1 << cadPress;
    QTest::newRow("ctrl+alt+del release")
        << keyEvent(KeyRelease, Qt::Key_Delete, Ctrl | Alt) << 0 << 1 << cadRelease;
    QTest::newRow("ctrl+alt+meta+del press")
        << keyEvent(KeyPress, Qt::Key_Delete, Ctrl | Alt | Meta) << 0 << 1 << cadPress;
    QTest::newRow("ctrl+alt+meta+del release")
        << keyEvent(KeyRelease, Qt::Key_Delete, Ctrl | Alt | Meta) << 0 << 1 << cadRelease;
    QTest::newRow("ctrl+alt+shift+keypad del")
        << keyEvent(KeyPress, Qt::Key_Delete, Ctrl | Alt | Shift | Keypad, true) << 0 << 1 << cadPress;
    QTest::newRow("ctrl+del") << keyEvent(KeyPress, Qt::Key_Delete, Ctrl) << 0 << 1
                              << QStringList{"key_press(0x153)"};
    QTest::newRow("alt+del release") << keyEvent(KeyRelease, Qt::Key_Delete, Alt) << 0 << 1
                                     << QStringList{"key_release(0x153)"};
    QTest::newRow("ctrl+alt+backspace")
        << keyEvent(KeyPress, Qt::Key_Backspace, Ctrl | Alt) << 0 << 1 << QStringList{"key_press(0xe)"};

    // Win shortcuts.
    const QStringList winRPress{"[INFO] Win+R pressed", "key_press(0x15b)", "key_press(0x13)"};
    const QStringList winRRelease{"[INFO] Win+R released", "key_release(0x13)", "key_release(0x15b)"};
    QTest::newRow("control+meta+R press")
        << keyEvent(KeyPress, Qt::Key_R, Ctrl | Meta) << 0 << 1 << winRPress;
    QTest::newRow("meta+R release") << keyEvent(KeyRelease, Qt::Key_R, Meta) << 0 << 1 << winRRelease;
    QTest::newRow("meta+R on keypad flag")
        << keyEvent(KeyPress, Qt::Key_R, Meta | Keypad, true) << 0 << 1 << winRPress;
    QTest::newRow("ctrl+alt+meta+R") << keyEvent(KeyPress, Qt::Key_R, Ctrl | Alt | Meta) << 0 << 1
                                     << winRPress;
    QTest::newRow("meta+E press") << keyEvent(KeyPress, Qt::Key_E, Meta) << 0 << 1
                                  << QStringList{"[INFO] Win+E pressed", "key_press(0x15b)",
                                                 "key_press(0x12)"};
    QTest::newRow("meta+E release") << keyEvent(KeyRelease, Qt::Key_E, Meta | Shift) << 0 << 1
                                    << QStringList{"[INFO] Win+E released", "key_release(0x12)",
                                                   "key_release(0x15b)"};
    QTest::newRow("meta+T") << keyEvent(KeyPress, Qt::Key_T, Meta) << 0 << 1
                            << QStringList{"key_press(0x14)"};
    QTest::newRow("meta alone") << keyEvent(KeyPress, Qt::Key_Meta, Meta) << 0 << 1
                                << QStringList{"key_press(0x15b)"};

    // Plain keys go through the table chosen by the keypad flag, unknown keys as 0.
    QTest::newRow("R press") << keyEvent(KeyPress, Qt::Key_R) << 0 << 1 << QStringList{"key_press(0x13)"};
    QTest::newRow("R release") << keyEvent(KeyRelease, Qt::Key_R) << 0 << 1
                               << QStringList{"key_release(0x13)"};
    QTest::newRow("ctrl+R") << keyEvent(KeyPress, Qt::Key_R, Ctrl) << 0 << 1
                            << QStringList{"key_press(0x13)"};
    QTest::newRow("Super_L") << keyEvent(KeyPress, Qt::Key_Super_L) << 0 << 1
                             << QStringList{"key_press(0x0)"};
    QTest::newRow("Romaji") << keyEvent(KeyRelease, Qt::Key_Romaji) << 0 << 1
                            << QStringList{"key_release(0x0)"};
    QTest::newRow("print") << keyEvent(KeyPress, Qt::Key_Print) << 0 << 1 << QStringList{"key_press(0x139)"};
    QTest::newRow("1") << keyEvent(KeyPress, Qt::Key_1) << 0 << 1 << QStringList{"key_press(0x2)"};
    QTest::newRow("keypad 1") << keyEvent(KeyPress, Qt::Key_1, Keypad, true) << 0 << 1
                              << QStringList{"key_press(0x4f)"};
    QTest::newRow("keypad 1 release")
        << keyEvent(KeyRelease, Qt::Key_1, Keypad, true) << 0 << 1 << QStringList{"key_release(0x4f)"};
    QTest::newRow("keypad A") << keyEvent(KeyPress, Qt::Key_A, 0, true) << 0 << 1
                              << QStringList{"key_press(0x0)"};
    QTest::newRow("enter") << keyEvent(KeyPress, Qt::Key_Enter) << 0 << 1 << QStringList{"key_press(0x1c)"};
    QTest::newRow("keypad enter") << keyEvent(KeyPress, Qt::Key_Enter, Keypad, true) << 0 << 1
                                  << QStringList{"key_press(0x11c)"};
    // The keypad flag is the event's own field, not the modifier bit.
    QTest::newRow("keypad modifier only")
        << keyEvent(KeyPress, Qt::Key_1, Keypad, false) << 0 << 1 << QStringList{"key_press(0x2)"};
}

void TestInput::events()
{
    QFETCH(KM_EVENT, event);
    QFETCH(int, displayId);
    QFETCH(int, rc);
    QFETCH(QStringList, expected);

    agent.display_id = displayId;
    QCOMPARE(deliver(event, agent), rc);
    QCOMPARE(timeline, expected);
    for (const void* channel : callChannels)
        QCOMPARE(channel, static_cast<const void*>(fakeInputs));
}

void TestInput::eventsCarryNoMemory()
{
    agent.display_id = 0;
    QCOMPARE(deliver(keyEvent(KeyPress, Qt::Key_Delete, Ctrl | Alt), agent), 1);
    QCOMPARE(timeline.size(), 4);
    QCOMPARE(deliver(keyEvent(KeyPress, Qt::Key_Delete), agent), 1);
    QCOMPARE(timeline, QStringList{"key_press(0x153)"});

    QCOMPARE(deliver(keyEvent(KeyPress, Qt::Key_R, Meta), agent), 1);
    QCOMPARE(timeline.size(), 3);
    QCOMPARE(deliver(keyEvent(KeyRelease, Qt::Key_R), agent), 1);
    QCOMPARE(timeline, QStringList{"key_release(0x13)"});

    QCOMPARE(deliver(mouseEvent(MouseButtonPress, 1), agent), 1);
    QCOMPARE(deliver(mouseEvent(MouseMove, 0), agent), 1);
    QCOMPARE(timeline, QStringList{"position(0,0,0,0)"});
}

void TestInput::combinationsUseTheMainTable()
{
    // A keypad table that disagrees must not leak into the assembled combinations.
    const QHash<int, unsigned int> saved = keypadScanCodeHash;
    keypadScanCodeHash.insert(Qt::Key_Control, 0x61);
    keypadScanCodeHash.insert(Qt::Key_Meta, 0x62);
    keypadScanCodeHash.insert(Qt::Key_R, 0x63);
    deliver(keyEvent(KeyPress, Qt::Key_Delete, Ctrl | Alt, true), agent);
    const QStringList cad = timeline;
    deliver(keyEvent(KeyPress, Qt::Key_R, Meta, true), agent);
    const QStringList winR = timeline;
    keypadScanCodeHash = saved;

    QCOMPARE(cad, (QStringList{"[INFO] Ctrl+Alt+Del pressed", "key_press(0x1d)", "key_press(0x38)",
                               "key_press(0x153)"}));
    QCOMPARE(winR, (QStringList{"[INFO] Win+R pressed", "key_press(0x15b)", "key_press(0x13)"}));
}

QTEST_GUILESS_MAIN(TestInput)
#include "test_input.moc"
