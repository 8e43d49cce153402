#include "keycodes.h"

#include <array>
#include <utility>

namespace
{

// Linux input keycodes (linux/input-event-codes.h) to set 1. Keycodes 1 to 83 are set 1 itself
// (Escape to the keypad's decimal point); the rest follows the PC keyboard's own E0 and extra keys.
constexpr std::pair<uint16_t, uint16_t> kLinuxToSet1[] = {
    {85, 0x76},   // Zenkaku/Hankaku
    {86, 0x56},   // the ISO key between left Shift and Z
    {87, 0x57},   // F11
    {88, 0x58},   // F12
    {89, 0x73},   // Ro
    {90, 0x78},   // Katakana
    {91, 0x77},   // Hiragana
    {92, 0x79},   // Henkan
    {93, 0x70},   // Katakana/Hiragana
    {94, 0x7B},   // Muhenkan
    {95, 0x5C},   // keypad Japanese comma
    {96, 0x11C},  // keypad Enter
    {97, 0x11D},  // right Ctrl
    {98, 0x135},  // keypad /
    {99, 0x137},  // Print (SysRq)
    {100, 0x138}, // right Alt (AltGr)
    {102, 0x147}, // Home
    {103, 0x148}, // Up
    {104, 0x149}, // Page Up
    {105, 0x14B}, // Left
    {106, 0x14D}, // Right
    {107, 0x14F}, // End
    {108, 0x150}, // Down
    {109, 0x151}, // Page Down
    {110, 0x152}, // Insert
    {111, 0x153}, // Delete
    {113, 0x120}, // Mute
    {114, 0x12E}, // Volume down
    {115, 0x130}, // Volume up
    {116, 0x15E}, // Power
    {117, 0x59},  // keypad =
    {119, kPauseScancode},
    {121, 0x7E},  // keypad ,
    {124, 0x7D},  // Yen
    {125, 0x15B}, // left Windows
    {126, 0x15C}, // right Windows
    {127, 0x15D}, // Menu
    {128, 0x168}, // Stop
    {140, 0x121}, // Calculator
    {142, 0x15F}, // Sleep
    {143, 0x163}, // Wake up
    {155, 0x16C}, // Mail
    {156, 0x166}, // Bookmarks
    {157, 0x16B}, // My computer
    {158, 0x16A}, // Back
    {159, 0x169}, // Forward
    {163, 0x119}, // Next track
    {164, 0x122}, // Play/Pause
    {165, 0x110}, // Previous track
    {166, 0x124}, // Stop media
    {172, 0x132}, // Home page
    {173, 0x167}, // Refresh
    {217, 0x165}, // Search
    {226, 0x16D}, // Media
};

constexpr int kX11Offset = 8;

constexpr std::array<uint16_t, 256> buildTable()
{
    std::array<uint16_t, 256> table{};
    for (int key = 1; key <= 83; ++key)
        table[key + kX11Offset] = uint16_t(key);
    for (const auto& [key, code] : kLinuxToSet1)
        table[key + kX11Offset] = code;
    return table;
}

constexpr std::array<uint16_t, 256> kTable = buildTable();

} // namespace

unsigned int x11KeycodeToScancode(uint32_t keycode)
{
    return keycode < kTable.size() ? kTable[keycode] : 0;
}
