#include "input.h"

#include <Qt>

QHash<int, unsigned int> scanCodeHash;
QHash<int, unsigned int> keypadScanCodeHash;

// Values are PC set 1 make codes; an E0-prefixed key is 0x100 plus its second byte.
void initScanCodeMap(QHash<int, unsigned int>& map)
{
    map = {};

    map.insert(Qt::Key_A, 0x1E);
    map.insert(Qt::Key_B, 0x30);
    map.insert(Qt::Key_C, 0x2E);
    map.insert(Qt::Key_D, 0x20);
    map.insert(Qt::Key_E, 0x12);
    map.insert(Qt::Key_F, 0x21);
    map.insert(Qt::Key_G, 0x22);
    map.insert(Qt::Key_H, 0x23);
    map.insert(Qt::Key_I, 0x17);
    map.insert(Qt::Key_J, 0x24);
    map.insert(Qt::Key_K, 0x25);
    map.insert(Qt::Key_L, 0x26);
    map.insert(Qt::Key_M, 0x32);
    map.insert(Qt::Key_N, 0x31);
    map.insert(Qt::Key_O, 0x18);
    map.insert(Qt::Key_P, 0x19);
    map.insert(Qt::Key_Q, 0x10);
    map.insert(Qt::Key_R, 0x13);
    map.insert(Qt::Key_S, 0x1F);
    map.insert(Qt::Key_T, 0x14);
    map.insert(Qt::Key_U, 0x16);
    map.insert(Qt::Key_V, 0x2F);
    map.insert(Qt::Key_W, 0x11);
    map.insert(Qt::Key_X, 0x2D);
    map.insert(Qt::Key_Y, 0x15);
    map.insert(Qt::Key_Z, 0x2C);

    // Shifted symbols share the scan code of the US-layout key that produces them.
    map.insert(Qt::Key_Space, 0x39);
    map.insert(Qt::Key_Exclam, 0x02);
    map.insert(Qt::Key_QuoteDbl, 0x28);
    map.insert(Qt::Key_NumberSign, 0x04);
    map.insert(Qt::Key_Dollar, 0x05);
    map.insert(Qt::Key_Percent, 0x06);
    map.insert(Qt::Key_Ampersand, 0x08);
    map.insert(Qt::Key_Apostrophe, 0x28);
    map.insert(Qt::Key_ParenLeft, 0x0A);
    map.insert(Qt::Key_ParenRight, 0x0B);
    map.insert(Qt::Key_Asterisk, 0x09);
    map.insert(Qt::Key_Plus, 0x0D);
    map.insert(Qt::Key_Comma, 0x33);
    map.insert(Qt::Key_Minus, 0x0C);
    map.insert(Qt::Key_Period, 0x34);
    map.insert(Qt::Key_Slash, 0x35);
    map.insert(Qt::Key_0, 0x0B);
    map.insert(Qt::Key_1, 0x02);
    map.insert(Qt::Key_2, 0x03);
    map.insert(Qt::Key_3, 0x04);
    map.insert(Qt::Key_4, 0x05);
    map.insert(Qt::Key_5, 0x06);
    map.insert(Qt::Key_6, 0x07);
    map.insert(Qt::Key_7, 0x08);
    map.insert(Qt::Key_8, 0x09);
    map.insert(Qt::Key_9, 0x0A);
    map.insert(Qt::Key_Colon, 0x27);
    map.insert(Qt::Key_Semicolon, 0x27);
    map.insert(Qt::Key_Less, 0x33);
    map.insert(Qt::Key_Equal, 0x0D);
    map.insert(Qt::Key_Greater, 0x34);
    map.insert(Qt::Key_Question, 0x35);
    map.insert(Qt::Key_At, 0x03);
    map.insert(Qt::Key_BracketLeft, 0x1A);
    map.insert(Qt::Key_Backslash, 0x2B);
    map.insert(Qt::Key_BracketRight, 0x1B);
    map.insert(Qt::Key_AsciiCircum, 0x07);
    map.insert(Qt::Key_Underscore, 0x0C);
    map.insert(Qt::Key_QuoteLeft, 0x29);
    map.insert(Qt::Key_BraceLeft, 0x1A);
    map.insert(Qt::Key_Bar, 0x2B);
    map.insert(Qt::Key_BraceRight, 0x1B);
    map.insert(Qt::Key_AsciiTilde, 0x29);
    map.insert(Qt::Key_Space, 0x39);

    map.insert(Qt::Key_yen, 0x7D);
    map.insert(Qt::Key_multiply, 0x37); // the keypad's *

    map.insert(Qt::Key_Escape, 0x01);
    map.insert(Qt::Key_Tab, 0x0F);
    map.insert(Qt::Key_Backtab, 0x0F);
    map.insert(Qt::Key_Backspace, 0x0E);
    map.insert(Qt::Key_Return, 0x1C);
    map.insert(Qt::Key_Enter, 0x1C);
    map.insert(Qt::Key_Insert, 0x152);
    map.insert(Qt::Key_Delete, 0x153);
    map.insert(Qt::Key_Pause, 0x146);
    map.insert(Qt::Key_Print, 0x137);
    map.insert(Qt::Key_SysReq, 0x54);
    map.insert(Qt::Key_Home, 0x147);
    map.insert(Qt::Key_End, 0x14F);
    map.insert(Qt::Key_Left, 0x14B);
    map.insert(Qt::Key_Up, 0x148);
    map.insert(Qt::Key_Right, 0x14D);
    map.insert(Qt::Key_Down, 0x150);
    map.insert(Qt::Key_PageUp, 0x149);
    map.insert(Qt::Key_PageDown, 0x151);

    // Qt does not tell left from right modifiers; the left ones are sent.
    map.insert(Qt::Key_Shift, 0x2A);
    map.insert(Qt::Key_Control, 0x1D);
    map.insert(Qt::Key_Meta, 0x15B);
    map.insert(Qt::Key_Alt, 0x38);
    map.insert(Qt::Key_CapsLock, 0x3A);
    map.insert(Qt::Key_NumLock, 0x45);
    map.insert(Qt::Key_ScrollLock, 0x46);

    map.insert(Qt::Key_F1, 0x3B);
    map.insert(Qt::Key_F2, 0x3C);
    map.insert(Qt::Key_F3, 0x3D);
    map.insert(Qt::Key_F4, 0x3E);
    map.insert(Qt::Key_F5, 0x3F);
    map.insert(Qt::Key_F6, 0x40);
    map.insert(Qt::Key_F7, 0x41);
    map.insert(Qt::Key_F8, 0x42);
    map.insert(Qt::Key_F9, 0x43);
    map.insert(Qt::Key_F10, 0x44);
    map.insert(Qt::Key_F11, 0x57);
    map.insert(Qt::Key_F12, 0x58);
    map.insert(Qt::Key_F13, 0x5D);
    map.insert(Qt::Key_F14, 0x5E);
    map.insert(Qt::Key_F15, 0x5F);
    map.insert(Qt::Key_F16, 0x55);
    map.insert(Qt::Key_F17, 0x103);
    map.insert(Qt::Key_F18, 0x177);
    map.insert(Qt::Key_F19, 0x104);
    map.insert(Qt::Key_F20, 0x5A);
    map.insert(Qt::Key_F21, 0x74);
    map.insert(Qt::Key_F22, 0x179);
    map.insert(Qt::Key_F23, 0x6D);
    map.insert(Qt::Key_F24, 0x6F);

    map.insert(Qt::Key_Menu, 0x15D);
    map.insert(Qt::Key_Help, 0x175);
    map.insert(Qt::Key_Direction_L, 0x6B);
    map.insert(Qt::Key_Direction_R, 0x6B);

    map.insert(Qt::Key_Mode_switch, 0x156);
    map.insert(Qt::Key_Muhenkan, 0x7B);
    map.insert(Qt::Key_Henkan, 0x79);
    // Romaji has no key of its own on a PC keyboard; it stays known but sends 0.
    map.insert(Qt::Key_Romaji, 0);
    map.insert(Qt::Key_Hiragana, 0x77);
    map.insert(Qt::Key_Katakana, 0x78);
    map.insert(Qt::Key_Hiragana_Katakana, 0x70);
    map.insert(Qt::Key_Zenkaku_Hankaku, 0x76);
    map.insert(Qt::Key_Hangul_Hanja, 0x10D);

    map.insert(Qt::Key_Back, 0x16A);
    map.insert(Qt::Key_Forward, 0x169);
    map.insert(Qt::Key_Stop, 0x168);
    map.insert(Qt::Key_Refresh, 0x167);
    map.insert(Qt::Key_VolumeDown, 0x12E);
    map.insert(Qt::Key_VolumeMute, 0x120);
    map.insert(Qt::Key_VolumeUp, 0x130);
    map.insert(Qt::Key_BassBoost, 0x136);
    map.insert(Qt::Key_MediaPlay, 0x128);
    map.insert(Qt::Key_MediaStop, 0x124);
    map.insert(Qt::Key_MediaPrevious, 0x110);
    map.insert(Qt::Key_MediaNext, 0x119);
    map.insert(Qt::Key_MediaRecord, 0x131);
    map.insert(Qt::Key_MediaPause, 0x129);
    map.insert(Qt::Key_MediaTogglePlayPause, 0x122);
    map.insert(Qt::Key_HomePage, 0x132);
    map.insert(Qt::Key_Favorites, 0x166);
    map.insert(Qt::Key_Search, 0x165);
    map.insert(Qt::Key_LaunchMail, 0x16C);
    map.insert(Qt::Key_LaunchMedia, 0x16D);
    map.insert(Qt::Key_Launch0, 0x16B);
    map.insert(Qt::Key_MonBrightnessUp, 0x154);
    map.insert(Qt::Key_MonBrightnessDown, 0x14C);
    map.insert(Qt::Key_KeyboardLightOnOff, 0x157);
    map.insert(Qt::Key_KeyboardBrightnessUp, 0x159);
    map.insert(Qt::Key_KeyboardBrightnessDown, 0x158);
    map.insert(Qt::Key_PowerOff, 0x15E);
    map.insert(Qt::Key_WakeUp, 0x163);
    map.insert(Qt::Key_Eject, 0x17D);
    map.insert(Qt::Key_ScreenSaver, 0x112);
    map.insert(Qt::Key_WWW, 0x102);
    map.insert(Qt::Key_Shop, 0x145);
    map.insert(Qt::Key_Finance, 0x143);
    map.insert(Qt::Key_AudioRewind, 0x118);
    map.insert(Qt::Key_Calculator, 0x121);
    map.insert(Qt::Key_Close, 0x12F);
    map.insert(Qt::Key_Copy, 0x178);
    map.insert(Qt::Key_Cut, 0x13C);
    map.insert(Qt::Key_DOS, 0x6A);
    map.insert(Qt::Key_Documents, 0x170);
    map.insert(Qt::Key_Paste, 0x65);
    map.insert(Qt::Key_Phone, 0x63);
    map.insert(Qt::Key_Reply, 0x164);
    map.insert(Qt::Key_Save, 0x155);
    map.insert(Qt::Key_Send, 0x15A);
    map.insert(Qt::Key_Xfer, 0x113);
    map.insert(Qt::Key_Messenger, 0x140);
    map.insert(Qt::Key_MailForward, 0x10E);
    map.insert(Qt::Key_Battery, 0x171);
    map.insert(Qt::Key_Bluetooth, 0x172);
    map.insert(Qt::Key_WLAN, 0x173);
    map.insert(Qt::Key_UWB, 0x174);
    map.insert(Qt::Key_Suspend, 0x125);
    map.insert(Qt::Key_New, 0x109);
    map.insert(Qt::Key_Open, 0x64);
    map.insert(Qt::Key_Find, 0x141);
    map.insert(Qt::Key_Undo, 0x107);
    map.insert(Qt::Key_Redo, 0x10A);
    map.insert(Qt::Key_Camera, 0x13B);
    map.insert(Qt::Key_Play, 0x133);
    map.insert(Qt::Key_Sleep, 0x15F);
    map.insert(Qt::Key_Exit, 0x71);
    map.insert(Qt::Key_Cancel, 0x14A);
}

// Keys that arrive with Qt::KeypadModifier; Qt reports them with their main-block key codes.
void initKeypadScanCodeMap(QHash<int, unsigned int>& map)
{
    map = {};

    map.insert(Qt::Key_Slash, 0x135);
    map.insert(Qt::Key_Asterisk, 0x37);
    map.insert(Qt::Key_Home, 0x147);
    map.insert(Qt::Key_Up, 0x148);
    map.insert(Qt::Key_PageUp, 0x149);
    map.insert(Qt::Key_Left, 0x14B);
    map.insert(Qt::Key_Right, 0x14D);
    map.insert(Qt::Key_End, 0x14F);
    map.insert(Qt::Key_Down, 0x150);
    map.insert(Qt::Key_PageDown, 0x151);
    map.insert(Qt::Key_Insert, 0x152);
    map.insert(Qt::Key_Delete, 0x153);
    map.insert(Qt::Key_Enter, 0x11C);
    map.insert(Qt::Key_7, 0x47);
    map.insert(Qt::Key_8, 0x48);
    map.insert(Qt::Key_9, 0x49);
    map.insert(Qt::Key_Minus, 0x4A);
    map.insert(Qt::Key_4, 0x4B);
    map.insert(Qt::Key_5, 0x4C);
    map.insert(Qt::Key_6, 0x4D);
    map.insert(Qt::Key_Plus, 0x4E);
    map.insert(Qt::Key_1, 0x4F);
    map.insert(Qt::Key_2, 0x50);
    map.insert(Qt::Key_3, 0x51);
    map.insert(Qt::Key_0, 0x52);
    map.insert(Qt::Key_Period, 0x53);
    map.insert(Qt::Key_Return, 0x11C);
    map.insert(Qt::Key_Equal, 0x59);
    map.insert(Qt::Key_Comma, 0x7E);
    map.insert(Qt::Key_ParenLeft, 0x176);
    map.insert(Qt::Key_ParenRight, 0x17B);
}

// SPICE numbers buttons left 1, middle 2, right 3, wheel 4/5; Qt's flags are left 1, right 2, middle 4.
int QtButtonToSpice(int button)
{
    static const int table[4] = {1, 3, 0, 2};
    if (button < 1 || button > 4)
        return 0;
    return table[button - 1];
}

// SPICE button state bits: left 0x1, middle 0x2, right 0x4.
int QtButtonsMaskToSpice(int buttons)
{
    int mask = 0;
    if (buttons & Qt::LeftButton)
        mask |= 0x1;
    if (buttons & Qt::RightButton)
        mask |= 0x4;
    if (buttons & Qt::MiddleButton)
        mask |= 0x2;
    return mask;
}
