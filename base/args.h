#pragma once

#include <climits>
#include <string>

struct AppArgs {
    char host[24];
    char port[8];
    char name[64];
    char key[24];
    char tls_port[8];
    char password_file[PATH_MAX];
    char ca_file[PATH_MAX];
    char host_subject[256];
    char proxy[1024];
    char source[PATH_MAX]; // the one positional word: a connection file, "-" or a spice:// address
    // Full screen and kiosk.
    bool full_screen;
    bool kiosk;
    bool kiosk_quit;   // end the program when the connection drops
    char hotkeys[256]; // --hotkeys as given, checked by parseArgs
    bool no_clipboard;
    bool no_file_copy;
    bool share_primary;
    bool debug; // DEBUG lines are logged
    // The guest's monitors follow the windows (with an agent that takes monitors configurations).
    bool auto_resize_never;
    bool no_center_click; // no click at the centre of the first picture after a start
    // The user's devices in the remote machine.
    char share_cd[4][PATH_MAX]; // CD images, as given; share_cd_count of them
    int share_cd_count;
    char share_dir[PATH_MAX];
    bool share_dir_ro;
    bool no_microphone;
    bool no_usb;
    char usb_filter[1024]; // the auto-redirect filter, checked by parseArgs
    char usb_redirect_on_connect[1024];
    bool smartcard;
    char smartcard_db[PATH_MAX];
    char smartcard_certs[1024]; // NAME,NAME,...
};

// Outcome of reading a command line, without side effects other than the record.
struct ParseResult {
    enum Status { Ok, Usage, MissingHostOrPort, TooLong, BadValue, Version };
    Status status = Usage;
    std::string tooLongOption; // long name of the option whose value did not fit
    size_t tooLongLimit = 0;   // characters that option can hold
    std::string badValue;      // BadValue: what is wrong with the value of tooLongOption
};

// Fills `out` from the arguments (after Qt removed its own). Pure apart from getopt's diagnostics on stderr.
ParseResult parseArgs(int argc, char** argv, AppArgs& out);

// Fills g_args, reads the connection file or address and the password file into
// currentConnection(); returns only with a host and a port (or a TLS port) and, when a password
// was asked for, the password. Otherwise exits with 1, with the usage text where the command line
// itself is at fault. A connection file that asks for it is deleted once it was read successfully.
void parse_cmd(int argc, char** argv);
// True when no word could be one of Qt's own options (which only the GUI application object
// knows and removes): every word that starts with '-' is exactly one of ours.
bool onlyOwnOptions(int argc, char** argv);
AppArgs* get_args();
void printUsage();
const char* programVersion();
void printVersion();
// Whether the words (Qt's options still among them) ask for --version: it is answered before Qt
// needs a display.
bool versionAsked(int argc, char** argv);
