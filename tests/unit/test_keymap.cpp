#include "input.h"

#include <QSet>
#include <QtTest>

namespace
{

QHash<int, unsigned int> mainTable()
{
    QHash<int, unsigned int> map;
    initScanCodeMap(map);
    return map;
}

QHash<int, unsigned int> keypadTable()
{
    QHash<int, unsigned int> map;
    initKeypadScanCodeMap(map);
    return map;
}

// Rules every scan code in either table must obey.
void checkEncoding(const QHash<int, unsigned int>& map, const char* which)
{
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const unsigned int code = it.value();
        const QByteArray where = QByteArray(which) + " key 0x" + QByteArray::number(it.key(), 16) +
                                 " code 0x" + QByteArray::number(code, 16);
        QVERIFY2((code & 0x80) == 0, where + ": break bit set");
        QVERIFY2(code <= 0x17D, where + ": above the highest known code");
        QVERIFY2((code & ~0xFFu) == 0 || (code & ~0xFFu) == 0x100, where + ": bad prefix part");
        if (code == 0)
            QVERIFY2(it.key() == Qt::Key_Romaji, where + ": only Romaji may map to 0");
    }
}

} // namespace

class TestKeymap : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sizesAndRefill();
    void encodingRules();
    void letters();
    void digitsAndFunctionKeys();
    void shiftedSymbolsShareTheirKey_data();
    void shiftedSymbolsShareTheirKey();
    void specialRows();
    void absentKeys_data();
    void absentKeys();
    void keypadTable();
    void buttonToSpice_data();
    void buttonToSpice();
    void buttonsMaskToSpice_data();
    void buttonsMaskToSpice();
    void maskAndButtonAgree();
};

void TestKeymap::sizesAndRefill()
{
    QHash<int, unsigned int> map;
    initScanCodeMap(map);
    QCOMPARE(map.size(), 197);
    const QHash<int, unsigned int> first = map;
    initScanCodeMap(map);
    QCOMPARE(map.size(), 197);
    QCOMPARE(map, first);

    QHash<int, unsigned int> pad;
    initKeypadScanCodeMap(pad);
    QCOMPARE(pad.size(), 31);
    initKeypadScanCodeMap(pad);
    QCOMPARE(pad.size(), 31);

    // Leftovers from an earlier fill must not survive.
    QHash<int, unsigned int> junk{{0x7FFFFFF0, 0x55}, {Qt::Key_A, 0xFFFF}, {-1, 1}};
    initScanCodeMap(junk);
    QCOMPARE(junk, first);
    QHash<int, unsigned int> padJunk{{0x7FFFFFF0, 0x55}, {Qt::Key_1, 0xFFFF}, {Qt::Key_A, 3}};
    initKeypadScanCodeMap(padJunk);
    QCOMPARE(padJunk, pad);

    // The module's own tables fill the same way.
    initScanCodeMap(scanCodeHash);
    initKeypadScanCodeMap(keypadScanCodeHash);
    QCOMPARE(scanCodeHash, first);
    QCOMPARE(keypadScanCodeHash, pad);
}

void TestKeymap::encodingRules()
{
    checkEncoding(mainTable(), "main");
    checkEncoding(::keypadTable(), "keypad");
    QVERIFY(mainTable().contains(Qt::Key_Romaji));
    QVERIFY(!::keypadTable().values().contains(0u));
}

void TestKeymap::letters()
{
    const auto map = mainTable();
    QSet<unsigned int> seen;
    for (int key = Qt::Key_A; key <= Qt::Key_Z; ++key) {
        QVERIFY2(map.contains(key), QByteArray(1, char(key)));
        const unsigned int code = map.value(key);
        QVERIFY2(code > 0x01 && code < 0x80, QByteArray(1, char(key)) + " is not a plain code");
        QVERIFY2(!seen.contains(code), QByteArray(1, char(key)) + " shares its code with another letter");
        seen.insert(code);
    }
    QCOMPARE(seen.size(), 26);
    // Rows of a US keyboard: Q..P, A..L, Z..M run left to right with consecutive codes.
    const char* rows[] = {"QWERTYUIOP", "ASDFGHJKL", "ZXCVBNM"};
    for (const char* row : rows) {
        for (const char* c = row + 1; *c; ++c)
            QCOMPARE(map.value(*c), map.value(c[-1]) + 1);
    }
}

void TestKeymap::digitsAndFunctionKeys()
{
    const auto map = mainTable();
    QCOMPARE(map.value(Qt::Key_1), 0x02u);
    for (int key = Qt::Key_2; key <= Qt::Key_9; ++key)
        QCOMPARE(map.value(key), map.value(key - 1) + 1);
    QCOMPARE(map.value(Qt::Key_0), map.value(Qt::Key_9) + 1);

    QCOMPARE(map.value(Qt::Key_F1), 0x3Bu);
    for (int key = Qt::Key_F2; key <= Qt::Key_F10; ++key)
        QCOMPARE(map.value(key), map.value(key - 1) + 1);
    QCOMPARE(map.value(Qt::Key_F12), map.value(Qt::Key_F11) + 1);
    QSet<unsigned int> fkeys;
    for (int key = Qt::Key_F1; key <= Qt::Key_F24; ++key) {
        QVERIFY(map.value(key) != 0);
        fkeys.insert(map.value(key));
    }
    QCOMPARE(fkeys.size(), 24);
}

void TestKeymap::shiftedSymbolsShareTheirKey_data()
{
    QTest::addColumn<int>("shifted");
    QTest::addColumn<int>("base");
    QTest::newRow("!") << int(Qt::Key_Exclam) << int(Qt::Key_1);
    QTest::newRow("@") << int(Qt::Key_At) << int(Qt::Key_2);
    QTest::newRow("#") << int(Qt::Key_NumberSign) << int(Qt::Key_3);
    QTest::newRow("$") << int(Qt::Key_Dollar) << int(Qt::Key_4);
    QTest::newRow("%") << int(Qt::Key_Percent) << int(Qt::Key_5);
    QTest::newRow("^") << int(Qt::Key_AsciiCircum) << int(Qt::Key_6);
    QTest::newRow("&") << int(Qt::Key_Ampersand) << int(Qt::Key_7);
    QTest::newRow("*") << int(Qt::Key_Asterisk) << int(Qt::Key_8);
    QTest::newRow("(") << int(Qt::Key_ParenLeft) << int(Qt::Key_9);
    QTest::newRow(")") << int(Qt::Key_ParenRight) << int(Qt::Key_0);
    QTest::newRow("_") << int(Qt::Key_Underscore) << int(Qt::Key_Minus);
    QTest::newRow("+") << int(Qt::Key_Plus) << int(Qt::Key_Equal);
    QTest::newRow("{") << int(Qt::Key_BraceLeft) << int(Qt::Key_BracketLeft);
    QTest::newRow("}") << int(Qt::Key_BraceRight) << int(Qt::Key_BracketRight);
    QTest::newRow("|") << int(Qt::Key_Bar) << int(Qt::Key_Backslash);
    QTest::newRow(":") << int(Qt::Key_Colon) << int(Qt::Key_Semicolon);
    QTest::newRow("\"") << int(Qt::Key_QuoteDbl) << int(Qt::Key_Apostrophe);
    QTest::newRow("~") << int(Qt::Key_AsciiTilde) << int(Qt::Key_QuoteLeft);
    QTest::newRow("<") << int(Qt::Key_Less) << int(Qt::Key_Comma);
    QTest::newRow(">") << int(Qt::Key_Greater) << int(Qt::Key_Period);
    QTest::newRow("?") << int(Qt::Key_Question) << int(Qt::Key_Slash);
    QTest::newRow("backtab") << int(Qt::Key_Backtab) << int(Qt::Key_Tab);
    QTest::newRow("enter") << int(Qt::Key_Enter) << int(Qt::Key_Return);
    QTest::newRow("direction") << int(Qt::Key_Direction_R) << int(Qt::Key_Direction_L);
}

void TestKeymap::shiftedSymbolsShareTheirKey()
{
    QFETCH(int, shifted);
    QFETCH(int, base);
    const auto map = mainTable();
    QVERIFY(map.contains(shifted));
    QVERIFY(map.contains(base));
    QVERIFY(map.value(base) != 0);
    QCOMPARE(map.value(shifted), map.value(base));
}

void TestKeymap::specialRows()
{
    const auto map = mainTable();
    // Print Screen and the keypad's multiply sit on the same physical key family but differ.
    QCOMPARE(map.value(Qt::Key_Print), 0x139u);
    QCOMPARE(map.value(Qt::Key_multiply), 0x137u);
    QCOMPARE(map.value(Qt::Key_Pause), 0x146u);
    QCOMPARE(map.value(Qt::Key_Enter), 0x1Cu);
    QCOMPARE(map.value(Qt::Key_Tab), 0x0Fu);
    QCOMPARE(map.value(Qt::Key_Exclam), 0x02u);
    QCOMPARE(map.value(Qt::Key_Space), 0x39u);
    QVERIFY(map.contains(Qt::Key_Romaji));
    QCOMPARE(map.value(Qt::Key_Romaji, 0xDEAD), 0u);
    // The keys the input path assembles combinations from.
    QCOMPARE(map.value(Qt::Key_Control), 0x1Du);
    QCOMPARE(map.value(Qt::Key_Alt), 0x38u);
    QCOMPARE(map.value(Qt::Key_Delete), 0x153u);
    QCOMPARE(map.value(Qt::Key_Meta), 0x15Bu);
    QCOMPARE(map.value(Qt::Key_R), 0x13u);
    QCOMPARE(map.value(Qt::Key_E), 0x12u);
}

void TestKeymap::absentKeys_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Super_L") << int(Qt::Key_Super_L);
    QTest::newRow("Super_R") << int(Qt::Key_Super_R);
    QTest::newRow("AltGr") << int(Qt::Key_AltGr);
    QTest::newRow("Clear") << int(Qt::Key_Clear);
    QTest::newRow("F25") << int(Qt::Key_F25);
    QTest::newRow("F35") << int(Qt::Key_F35);
    QTest::newRow("unknown") << int(Qt::Key_unknown);
}

void TestKeymap::absentKeys()
{
    QFETCH(int, key);
    const auto map = mainTable();
    QVERIFY(!map.contains(key));
    QCOMPARE(map.value(key, 0), 0u);
}

void TestKeymap::keypadTable()
{
    const auto main = mainTable();
    const auto pad = ::keypadTable();

    for (int key = Qt::Key_A; key <= Qt::Key_Z; ++key)
        QVERIFY2(!pad.contains(key), QByteArray(1, char(key)));

    // Digits and period are the keypad's own codes, never the top-row ones.
    const int digitKeys[] = {Qt::Key_0, Qt::Key_1, Qt::Key_2, Qt::Key_3, Qt::Key_4,     Qt::Key_5,
                             Qt::Key_6, Qt::Key_7, Qt::Key_8, Qt::Key_9, Qt::Key_Period};
    QSet<unsigned int> digits;
    for (int key : digitKeys) {
        const unsigned int code = pad.value(key);
        QVERIFY2(code >= 0x47 && code <= 0x53, QByteArray::number(key, 16));
        QVERIFY(code != main.value(key));
        digits.insert(code);
    }
    QCOMPARE(digits.size(), 11);
    // Keypad layout: 7 8 9 / 4 5 6 / 1 2 3 each run consecutively.
    QCOMPARE(pad.value(Qt::Key_8), pad.value(Qt::Key_7) + 1);
    QCOMPARE(pad.value(Qt::Key_9), pad.value(Qt::Key_8) + 1);
    QCOMPARE(pad.value(Qt::Key_5), pad.value(Qt::Key_4) + 1);
    QCOMPARE(pad.value(Qt::Key_6), pad.value(Qt::Key_5) + 1);
    QCOMPARE(pad.value(Qt::Key_2), pad.value(Qt::Key_1) + 1);
    QCOMPARE(pad.value(Qt::Key_3), pad.value(Qt::Key_2) + 1);
    QCOMPARE(pad.value(Qt::Key_1), 0x4Fu);

    // Navigation keys arrive flagged as keypad with NumLock off, but are the E0 block keys.
    const int navigation[] = {Qt::Key_Home,   Qt::Key_End,   Qt::Key_Up,     Qt::Key_Down,
                              Qt::Key_Left,   Qt::Key_Right, Qt::Key_PageUp, Qt::Key_PageDown,
                              Qt::Key_Insert, Qt::Key_Delete};
    for (int key : navigation) {
        QVERIFY2(pad.contains(key), QByteArray::number(key, 16));
        QCOMPARE(pad.value(key), main.value(key));
        QCOMPARE(pad.value(key) & 0x100u, 0x100u);
    }

    // Keypad Enter is the E0 form of the main Enter.
    QCOMPARE(pad.value(Qt::Key_Enter), 0x11Cu);
    QCOMPARE(pad.value(Qt::Key_Enter), main.value(Qt::Key_Enter) | 0x100u);
    QCOMPARE(pad.value(Qt::Key_Return), pad.value(Qt::Key_Enter));
    QCOMPARE(pad.value(Qt::Key_Slash), main.value(Qt::Key_Slash) | 0x100u);
    QVERIFY(pad.value(Qt::Key_Asterisk) != main.value(Qt::Key_Asterisk));
    QVERIFY(pad.value(Qt::Key_Minus) != main.value(Qt::Key_Minus));
    QVERIFY(pad.value(Qt::Key_Plus) != main.value(Qt::Key_Plus));
}

void TestKeymap::buttonToSpice_data()
{
    QTest::addColumn<int>("qt");
    QTest::addColumn<int>("spice");
    QTest::newRow("left") << 1 << 1;
    QTest::newRow("right") << 2 << 3;
    QTest::newRow("left+right") << 3 << 0;
    QTest::newRow("middle") << 4 << 2;
    QTest::newRow("none") << 0 << 0;
    QTest::newRow("negative") << -1 << 0;
    QTest::newRow("five") << 5 << 0;
    QTest::newRow("seven") << 7 << 0;
    QTest::newRow("back") << 8 << 0;
    QTest::newRow("back+forward") << 0x18 << 0;
    QTest::newRow("all five") << 0x1F << 0;
    QTest::newRow("large") << 0x7FFFFFFF << 0;
    QTest::newRow("most negative") << int(0x80000000u) << 0;
}

void TestKeymap::buttonToSpice()
{
    QFETCH(int, qt);
    QFETCH(int, spice);
    QCOMPARE(QtButtonToSpice(qt), spice);
}

void TestKeymap::buttonsMaskToSpice_data()
{
    QTest::addColumn<int>("qt");
    QTest::addColumn<int>("spice");
    QTest::newRow("none") << 0 << 0;
    QTest::newRow("left") << 1 << 0x1;
    QTest::newRow("right") << 2 << 0x4;
    QTest::newRow("left+right") << 3 << 0x5;
    QTest::newRow("middle") << 4 << 0x2;
    QTest::newRow("left+middle") << 5 << 0x3;
    QTest::newRow("right+middle") << 6 << 0x6;
    QTest::newRow("all three") << 7 << 0x7;
    QTest::newRow("back") << 8 << 0;
    QTest::newRow("back+forward") << 0x18 << 0;
    QTest::newRow("all five") << 0x1F << 0x7;
    QTest::newRow("negative") << -1 << 0x7;
}

void TestKeymap::buttonsMaskToSpice()
{
    QFETCH(int, qt);
    QFETCH(int, spice);
    QCOMPARE(QtButtonsMaskToSpice(qt), spice);
}

void TestKeymap::maskAndButtonAgree()
{
    // For a single button, the state bit is the button's SPICE number counted from bit 0.
    for (int qt : {1, 2, 4}) {
        const int button = QtButtonToSpice(qt);
        QVERIFY(button >= 1);
        QCOMPARE(QtButtonsMaskToSpice(qt), 1 << (button - 1));
    }
    // Only the three low bits matter, and each maps to one bit of its own.
    for (int m = 0; m < 256; ++m) {
        QCOMPARE(QtButtonsMaskToSpice(m), QtButtonsMaskToSpice(m & 7));
        QCOMPARE(qPopulationCount(quint32(QtButtonsMaskToSpice(m))), qPopulationCount(quint32(m & 7)));
    }
}

QTEST_GUILESS_MAIN(TestKeymap)
#include "test_keymap.moc"
