#include "hotkeys.h"

#include <QStringList>

namespace
{

constexpr Qt::KeyboardModifiers kChordModifiers =
    Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;

const QHash<QString, Qt::KeyboardModifier>& modifierNames()
{
    static const QHash<QString, Qt::KeyboardModifier> names = {
        {"shift", Qt::ShiftModifier}, {"ctrl", Qt::ControlModifier}, {"control", Qt::ControlModifier},
        {"alt", Qt::AltModifier},     {"super", Qt::MetaModifier},   {"meta", Qt::MetaModifier},
        {"win", Qt::MetaModifier},
    };
    return names;
}

// Key names as connection files write them (case does not matter); letters and digits by themselves.
// The first name of a key is the one shown.
const std::pair<const char*, int> kKeyNames[] = {
    {"escape", Qt::Key_Escape},
    {"esc", Qt::Key_Escape},
    {"tab", Qt::Key_Tab},
    {"backspace", Qt::Key_Backspace},
    {"return", Qt::Key_Return},
    {"enter", Qt::Key_Return},
    {"insert", Qt::Key_Insert},
    {"ins", Qt::Key_Insert},
    {"delete", Qt::Key_Delete},
    {"del", Qt::Key_Delete},
    {"pause", Qt::Key_Pause},
    {"print", Qt::Key_Print},
    {"home", Qt::Key_Home},
    {"end", Qt::Key_End},
    {"left", Qt::Key_Left},
    {"up", Qt::Key_Up},
    {"right", Qt::Key_Right},
    {"down", Qt::Key_Down},
    {"pageup", Qt::Key_PageUp},
    {"page_up", Qt::Key_PageUp},
    {"prior", Qt::Key_PageUp},
    {"pagedown", Qt::Key_PageDown},
    {"page_down", Qt::Key_PageDown},
    {"next", Qt::Key_PageDown},
    {"space", Qt::Key_Space},
    {"menu", Qt::Key_Menu},
    {"scroll_lock", Qt::Key_ScrollLock},
};

const QHash<QString, int>& keyNames()
{
    static const QHash<QString, int> names = [] {
        QHash<QString, int> n;
        for (const auto& [name, key] : kKeyNames)
            n.insert(name, key);
        for (int i = 1; i <= 24; ++i)
            n.insert(QString("f%1").arg(i), Qt::Key_F1 + i - 1);
        for (char c = 'a'; c <= 'z'; ++c)
            n.insert(QString(QChar(c)), Qt::Key_A + (c - 'a'));
        for (char c = '0'; c <= '9'; ++c)
            n.insert(QString(QChar(c)), Qt::Key_0 + (c - '0'));
        return n;
    }();
    return names;
}

// Make codes of the keys the menu sends.
constexpr uint kCtrl = 0x1d, kAlt = 0x38, kDelete = 0x153, kBackspace = 0x0e;

} // namespace

bool Hotkey::matches(int qtKey, Qt::KeyboardModifiers held) const
{
    return key != 0 && qtKey == key && (held & kChordModifiers) == (modifiers & kChordModifiers);
}

QString Hotkey::text() const
{
    if (isOff())
        return QString();
    QStringList parts;
    if (modifiers & Qt::ControlModifier)
        parts << "Ctrl";
    if (modifiers & Qt::AltModifier)
        parts << "Alt";
    if (modifiers & Qt::ShiftModifier)
        parts << "Shift";
    if (modifiers & Qt::MetaModifier)
        parts << "Super";
    QString name = keyNames().key(key);
    for (const auto& [shown, named] : kKeyNames) {
        if (named == key) {
            name = shown;
            break;
        }
    }
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        name = QString("F%1").arg(key - Qt::Key_F1 + 1);
    else if (name.size() > 1)
        name[0] = name[0].toUpper();
    else
        name = name.toUpper();
    parts << name;
    return parts.join('+');
}

HotkeyAction Hotkeys::actionFor(int qtKey, Qt::KeyboardModifiers held) const
{
    if (toggleFullScreen.matches(qtKey, held))
        return HotkeyAction::ToggleFullScreen;
    if (releaseCursor.matches(qtKey, held))
        return HotkeyAction::ReleaseCursor;
    if (secureAttention.matches(qtKey, held))
        return HotkeyAction::SecureAttention;
    if (menu.matches(qtKey, held))
        return HotkeyAction::Menu;
    if (smartcardInsert.matches(qtKey, held))
        return HotkeyAction::SmartcardInsert;
    if (smartcardRemove.matches(qtKey, held))
        return HotkeyAction::SmartcardRemove;
    return HotkeyAction::None;
}

bool parseHotkey(const QString& text, Hotkey& hotkey, QString& error)
{
    Hotkey parsed;
    const QString value = text.trimmed().toLower();
    if (value.isEmpty()) {
        hotkey = parsed;
        return true;
    }
    const QStringList parts = value.split('+');
    for (int i = 0; i < parts.size(); ++i) {
        const QString part = parts[i].trimmed();
        const bool last = i == parts.size() - 1;
        if (!last && modifierNames().contains(part)) {
            parsed.modifiers |= modifierNames().value(part);
            continue;
        }
        if (!last || !keyNames().contains(part)) {
            error = QString("unknown key \"%1\" in \"%2\"").arg(part, text);
            return false;
        }
        parsed.key = keyNames().value(part);
    }
    hotkey = parsed;
    return true;
}

bool parseHotkeys(const QString& text, Hotkeys& hotkeys, QString& error)
{
    Hotkeys parsed = hotkeys;
    const QHash<QString, Hotkey*> named = {
        {"toggle-fullscreen", &parsed.toggleFullScreen}, {"release-cursor", &parsed.releaseCursor},
        {"secure-attention", &parsed.secureAttention},   {"menu", &parsed.menu},
        {"smartcard-insert", &parsed.smartcardInsert},   {"smartcard-remove", &parsed.smartcardRemove},
    };
    for (const QString& item : text.split(',', Qt::SkipEmptyParts)) {
        const int equals = item.indexOf('=');
        const QString name = item.left(equals).trimmed();
        if (equals < 0 || !named.contains(name)) {
            error = QString("\"%1\" is not NAME=KEYS with NAME one of toggle-fullscreen, release-cursor, "
                            "secure-attention, menu, smartcard-insert, smartcard-remove")
                        .arg(item);
            return false;
        }
        if (!parseHotkey(item.mid(equals + 1), *named.value(name), error))
            return false;
    }
    hotkeys = parsed;
    return true;
}

HotkeyAction HotkeyFilter::press(int qtKey, Qt::KeyboardModifiers held, quint32 nativeCode, bool autoRepeat,
                                 bool& swallowed)
{
    const quint32 id = nativeCode ? nativeCode : quint32(qtKey);
    // A held hotkey repeats: the repeats are its own, even when the modifiers went meanwhile. A new
    // press of it means its release went elsewhere: it is a press like any other.
    swallowed = autoRepeat && kept.contains(id);
    if (swallowed)
        return HotkeyAction::None;
    kept.remove(id);
    const HotkeyAction action = hotkeys.actionFor(qtKey, held);
    if (action != HotkeyAction::None) {
        kept.insert(id, qtKey);
        swallowed = true;
    }
    return swallowed ? action : HotkeyAction::None;
}

bool HotkeyFilter::release(int qtKey, quint32 nativeCode, bool autoRepeat)
{
    const quint32 id = nativeCode ? nativeCode : quint32(qtKey);
    if (!kept.contains(id))
        return false;
    if (!autoRepeat)
        kept.remove(id);
    return true;
}

QVector<KeyMenuEntry> localDesktopKeys()
{
    QVector<KeyMenuEntry> entries = {
        {"Ctrl+Alt+Del", secureAttentionScancodes()},
        {"Ctrl+Alt+Backspace", {kCtrl, kAlt, kBackspace}},
    };
    // F1..F10 are 0x3b..0x44; F11 and F12 come after the keypad.
    for (uint f = 1; f <= 12; ++f)
        entries.append({QString("Ctrl+Alt+F%1").arg(f), {kCtrl, kAlt, f <= 10 ? 0x3a + f : 0x56 + f - 10}});
    // Print is E0 37, as the viewer sends the physical key: the server's keyboard adds the fake
    // Shift (E0 2A) a PC keyboard sends around it. Sent as a key of its own, that Shift would reach
    // the guest as a second one.
    entries.append({"Print Screen", {0x137}});
    return entries;
}

QVector<uint> secureAttentionScancodes()
{
    return {kCtrl, kAlt, kDelete};
}
