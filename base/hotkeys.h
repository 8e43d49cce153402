#pragma once

#include <QHash>
#include <QString>
#include <QVector>
#include <Qt>

// A key combination the viewer keeps for itself: its last key and the modifiers held with it.
struct Hotkey {
    int key = 0; // Qt::Key; 0: turned off
    Qt::KeyboardModifiers modifiers;

    bool isOff() const { return key == 0; }
    // The modifiers must be exactly these: Shift+Ctrl+F11 is not Shift+F11.
    bool matches(int qtKey, Qt::KeyboardModifiers held) const;
    // As shown to users, e.g. "Shift+F12"; empty when off.
    QString text() const;
};

enum class HotkeyAction {
    None,
    ToggleFullScreen,
    ReleaseCursor,
    SecureAttention,
    Menu,
    SmartcardInsert,
    SmartcardRemove
};

// The viewer's hotkeys, by the names of the --hotkeys option and of connection files.
struct Hotkeys {
    Hotkey toggleFullScreen{Qt::Key_F11, Qt::ShiftModifier};
    Hotkey releaseCursor{Qt::Key_F12, Qt::ShiftModifier};
    Hotkey secureAttention{Qt::Key_End, Qt::ControlModifier | Qt::AltModifier};
    // Shift+F9: no desktop or common application takes it (Shift+F10 opens context menus).
    Hotkey menu{Qt::Key_F9, Qt::ShiftModifier};
    // The software smartcard, next to the others and clear of them.
    Hotkey smartcardInsert{Qt::Key_F7, Qt::ShiftModifier};
    Hotkey smartcardRemove{Qt::Key_F8, Qt::ShiftModifier};

    HotkeyAction actionFor(int qtKey, Qt::KeyboardModifiers held) const;
};

// Reads "toggle-fullscreen=shift+f11,release-cursor=,..." over `hotkeys`: named hotkeys are
// replaced, an empty value turns one off, the others keep their value. False with `error` set on
// an unknown name or key; `hotkeys` is then unchanged.
bool parseHotkeys(const QString& text, Hotkeys& hotkeys, QString& error);
// One value, "ctrl+alt+end"; an empty text is a hotkey turned off.
bool parseHotkey(const QString& text, Hotkey& hotkey, QString& error);

// Keeps a hotkey's key from the remote machine: the press that triggers it, its auto-repeat and its
// release, even when the modifiers are let go first. Keys are told apart by their native code
// (0 when there is none: then by Qt key).
class HotkeyFilter
{
public:
    explicit HotkeyFilter(const Hotkeys& hotkeys = Hotkeys()) : hotkeys(hotkeys) {}
    void setHotkeys(const Hotkeys& keys) { hotkeys = keys; }
    const Hotkeys& current() const { return hotkeys; }
    // The action a press triggers (None: the press goes on to the remote machine). `swallowed`
    // tells whether the press is kept here: a hotkey's own press or a repeat of one.
    HotkeyAction press(int qtKey, Qt::KeyboardModifiers held, quint32 nativeCode, bool autoRepeat,
                       bool& swallowed);
    // True when the release belongs to a kept press.
    bool release(int qtKey, quint32 nativeCode, bool autoRepeat);
    // Forgets kept presses (the window lost the keyboard or hid: their releases go elsewhere).
    void clear() { kept.clear(); }

private:
    Hotkeys hotkeys;
    QHash<quint32, int> kept; // native code (or Qt key) -> pressed
};

// Keys the local desktop would take, as set-1 make codes (an E0 key as 0x100 plus its second byte),
// pressed in order and released in reverse.
struct KeyMenuEntry {
    QString label;
    QVector<uint> scancodes;
};
QVector<KeyMenuEntry> localDesktopKeys();
// Ctrl+Alt+Del, as secure-attention sends it.
QVector<uint> secureAttentionScancodes();
