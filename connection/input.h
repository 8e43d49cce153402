#pragma once

#include <QHash>
#include <cstdint>

struct SpiceAgent;

// KM_EVENT's `type`: the QEvent::Type numbers of the events the window forwards, written out so that
// the record stays plain data that can travel to the session as it is.
enum : int32_t {
    kMouseButtonPress = 2,
    kMouseButtonRelease = 3,
    kMouseButtonDblClick = 4,
    kMouseMove = 5,
    kKeyPress = 6,
    kKeyRelease = 7,
    kWheel = 31,
};

// One key, mouse or wheel event on its way to the inputs channel. `type` holds QEvent::Type numbers.
struct KM_EVENT {
    int32_t type;
    int32_t buttons;
    int32_t key;
    bool keypad;
    uint32_t modifiers;
    bool wheel_up;
    int32_t x;
    int32_t y;
    uint32_t scancode;    // the physical key's set-1 code (keycodes.h); 0: `key` goes through the tables
    int32_t button;       // the one Qt button a press, release or double click is about; 0: from `buttons`
    bool relative;        // a move in server mouse mode: x and y are the motion since the last move
    int32_t display = -1; // the display channel a position is on; -1: the first monitor's
};

int syncKeyMouse(KM_EVENT& event, SpiceAgent* agent);

void initScanCodeMap(QHash<int, unsigned int>& map);
void initKeypadScanCodeMap(QHash<int, unsigned int>& map);
int QtButtonToSpice(int button);
int QtButtonsMaskToSpice(int buttons);

// The module's maps, filled whenever an inputs channel is announced.
extern QHash<int, unsigned int> scanCodeHash;
extern QHash<int, unsigned int> keypadScanCodeHash;
