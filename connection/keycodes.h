#pragma once

#include <cstdint>

// PC scan code set 1 make code of the physical key behind an X keycode of an evdev keyboard
// (X keycode = Linux input keycode + 8), in the encoding of the Qt-key tables: one byte, or
// 0x100 plus the second byte for an E0-prefixed key. 0 when the keycode has no such key.
// The guest's own layout then decides the character, as on a local keyboard.
unsigned int x11KeycodeToScancode(uint32_t keycode);

// The SPICE library cannot send an E1 sequence; Pause goes out as E0 46 (Ctrl+Break), which
// QEMU turns back into Pause and which needs no release of its own on a PC keyboard.
constexpr unsigned int kPauseScancode = 0x146;
