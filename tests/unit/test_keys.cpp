// Properties of the key and button tables, across all their entries.
#include "input.h"
#include "keycodes.h"

#include <QSet>
#include <QtTest>

namespace
{

// Second bytes of the E0 keys a PC keyboard and its common extras send in set 1.
const QSet<unsigned> kKnownE0{0x10, 0x19, 0x1C, 0x1D, 0x20, 0x21, 0x22, 0x24, 0x2E, 0x30,
                              0x32, 0x35, 0x37, 0x38, 0x46, 0x47, 0x48, 0x49, 0x4B, 0x4D,
                              0x4F, 0x50, 0x51, 0x52, 0x53, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
                              0x63, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D};

const auto phys = [](int key) { return x11KeycodeToScancode(uint32_t(key) + 8); }; // Linux keycode
// One byte, or 0x100 plus the second byte of an E0 key; never a break code.
const auto wellFormed = [](unsigned code) { return (code & 0x80) == 0 && code < 0x200; };

} // namespace

class TestKeys : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void physicalTable()
    {
        QHash<unsigned, uint32_t> owner;
        for (uint32_t keycode = 0; keycode < 300; ++keycode) {
            const unsigned code = x11KeycodeToScancode(keycode);
            const QByteArray where = "X keycode " + QByteArray::number(keycode);
            QVERIFY2(code == 0 || (keycode > 8 && keycode < 256), where + ": outside evdev's keycodes");
            if (code == 0)
                continue;
            QVERIFY2(wellFormed(code) && (code < 0x100 || kKnownE0.contains(code & 0xFF)), where);
            QVERIFY2(!owner.contains(code),
                     where + " shares its code with " + QByteArray::number(owner[code]));
            owner.insert(code, keycode);
        }
        // Every key of a 105-key keyboard has its code: Escape to keypad ., the ISO key, F11, F12,
        // keypad Enter, right Ctrl, keypad /, Print, AltGr, the navigation block, Pause, Windows, Menu.
        for (auto [first, last] : {std::pair{1, 83}, {86, 88}, {96, 100}, {102, 111}, {119, 119}, {125, 127}})
            for (int key = first; key <= last; ++key)
                QVERIFY2(phys(key) != 0, QByteArray::number(key));
        // Left and right modifiers: Ctrl, Shift, Alt, Windows.
        for (auto [left, right] : {std::pair{29, 97}, {42, 54}, {56, 100}, {125, 126}})
            QVERIFY(phys(left) != phys(right));
        // Keypad keys are the keypad's one-byte codes whatever NumLock says, never the E0 block's.
        for (int key = 71; key <= 83; ++key)
            QVERIFY2(phys(key) < 0x100, QByteArray::number(key));
        // Whatever the Qt-key table sends for one of the XT keyboard's 83 keys, some physical key sends.
        QHash<int, unsigned> qtMain;
        initScanCodeMap(qtMain);
        for (unsigned code : qtMain)
            QVERIFY2(code == 0 || code > 0x53 || owner.contains(code), QByteArray::number(code, 16));
    }

    void qtKeyTables()
    {
        QHash<int, unsigned> main{{0x7FFFFFF0, 0x55}, {Qt::Key_A, 0xFFFF}}, pad{{Qt::Key_A, 3}};
        initScanCodeMap(main);
        initKeypadScanCodeMap(pad);
        QVERIFY(!main.contains(0x7FFFFFF0) && !pad.contains(Qt::Key_A)); // a refill starts empty
        for (auto* table : {&main, &pad})
            for (auto it = table->cbegin(); it != table->cend(); ++it)
                QVERIFY2(wellFormed(*it), QByteArray::number(it.key(), 16));
        // Letters and digits: 36 codes; rows of a US keyboard run left to right with consecutive codes.
        QSet<unsigned> seen;
        for (const char* row : {"QWERTYUIOP", "ASDFGHJKL", "ZXCVBNM", "1234567890"})
            for (const char* c = row; *c; seen << main.value(*c++))
                QVERIFY2(c == row || main.value(*c) == main.value(c[-1]) + 1, c);
        QCOMPARE(seen.size(), 36);
        for (int key = Qt::Key_F2; key <= Qt::Key_F10; ++key)
            QCOMPARE(main.value(key), main.value(key - 1) + 1);
        // A shifted symbol sends the key it is on.
        for (auto [sym, base] :
             {std::pair{'!', '1'}, {'@', '2'}, {'#', '3'},  {'$', '4'}, {'%', '5'}, {'^', '6'}, {'&', '7'},
              {'*', '8'},          {'(', '9'}, {')', '0'},  {'_', '-'}, {'+', '='}, {'{', '['}, {'}', ']'},
              {'|', '\\'},         {':', ';'}, {'"', '\''}, {'~', '`'}, {'<', ','}, {'>', '.'}, {'?', '/'}})
            QVERIFY2(main.value(sym) != 0 && main.value(sym) == main.value(base), QByteArray(1, sym));
        // Keypad digits are the keypad's own codes in both tables' senses: one byte, 0x47 to 0x53.
        for (int key = Qt::Key_0; key <= Qt::Key_9; ++key)
            QVERIFY(pad.value(key) >= 0x47 && pad.value(key) <= 0x53 && pad.value(key) != main.value(key));
    }

    void buttons()
    {
        // One Qt button gives the SPICE button whose state bit its mask sets; masks add bit by bit.
        for (int qt : {1, 2, 4})
            QCOMPARE(QtButtonsMaskToSpice(qt), 1 << (QtButtonToSpice(qt) - 1));
        for (int other : {0, 3, 8, 16, -1})
            QCOMPARE(QtButtonToSpice(other), 0);
        QCOMPARE(QtButtonsMaskToSpice(0x1F), 7); // back and forward have no SPICE bit
    }
};

QTEST_GUILESS_MAIN(TestKeys)
#include "test_keys.moc"
