#include "args.h"

#include "hotkeys.h"
#include "log.h"
#include "password_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iostream>

namespace
{

AppArgs g_args;
std::string g_password;

// Long-only options.
enum { kTlsPort = 256, kPasswordFile, kCaFile, kHostSubject, kHotkeys, kKiosk, kKioskQuit };

const char kUsage[] = "spice-client: A spice client\n"
                      "Usage: spice-client [options]...\n"
                      "  -h, --host\n"
                      "      Set address of spice server\n"
                      "  -p, --port\n"
                      "      Set port of spice server\n"
                      "  -n, --name\n"
                      "      Set title of spiceviewer window\n"
                      "  -k, --key\n"
                      "      Set Key and send to spice server\n"
                      "  -e, --help\n"
                      "      Print help and exit\n"
                      "  --password-file\n"
                      "      Read password of spice server from first line of file\n"
                      "  --tls-port\n"
                      "      Set TLS port of spice server, every channel secure (-p then optional)\n"
                      "  --ca-file\n"
                      "      Set file of CA certificates that signed the server certificate\n"
                      "  --host-subject\n"
                      "      Set subject expected in the server certificate\n"
                      "  -f, --full-screen\n"
                      "      Cover the screen the window is on (toggled by Shift+F11)\n"
                      "  --hotkeys NAME=KEYS,...\n"
                      "      Set hotkeys: toggle-fullscreen, release-cursor, secure-attention, menu\n"
                      "      (e.g. release-cursor=ctrl+alt+r; an empty KEYS turns a hotkey off)\n"
                      "  --kiosk\n"
                      "      Full screen that cannot be left or closed, reconnecting on its own\n"
                      "  --kiosk-quit on-disconnect|never\n"
                      "      In kiosk mode, end the program when the connection drops\n";

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'e'},
    {"host", required_argument, nullptr, 'h'},
    {"port", required_argument, nullptr, 'p'},
    {"name", required_argument, nullptr, 'n'},
    {"key", required_argument, nullptr, 'k'},
    {"tls-port", required_argument, nullptr, kTlsPort},
    {"password-file", required_argument, nullptr, kPasswordFile},
    {"ca-file", required_argument, nullptr, kCaFile},
    {"host-subject", required_argument, nullptr, kHostSubject},
    {"full-screen", no_argument, nullptr, 'f'},
    {"hotkeys", required_argument, nullptr, kHotkeys},
    {"kiosk", no_argument, nullptr, kKiosk},
    {"kiosk-quit", required_argument, nullptr, kKioskQuit},
    {nullptr, 0, nullptr, 0},
};

// Copies `value` into a fixed field; false when it does not fit with its terminator.
template <size_t N> bool storeField(char (&field)[N], const char* value)
{
    size_t length = std::strlen(value);
    if (length >= N)
        return false;
    std::memset(field, 0, N);
    std::memcpy(field, value, length);
    return true;
}

// The password stays out of the log; the TLS port is added only when given.
void logSummary()
{
    Logger summary(INFO);
    summary << "host: " << g_args.host << ", port: " << g_args.port << ", name: " << g_args.name
            << ", key: " << g_args.key;
    if (g_args.tls_port[0])
        summary << ", tls-port: " << g_args.tls_port;
    if (g_args.full_screen)
        summary << (g_args.kiosk ? ", kiosk" : ", full screen");
}

ParseResult& badValue(ParseResult& result, const char* option, const std::string& problem)
{
    result.status = ParseResult::BadValue;
    result.tooLongOption = option;
    result.badValue = problem;
    return result;
}

} // namespace

void printUsage()
{
    std::cout << kUsage;
    std::cout.flush();
}

ParseResult parseArgs(int argc, char** argv, AppArgs& out)
{
    ParseResult result;
    if (argc <= 1) {
        result.status = ParseResult::Usage;
        return result;
    }
    std::memset(&out, 0, sizeof out);
    optind = 0; // full re-initialisation, so the parser can run more than once
    int errors = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, "eh:p:n:k:f", kLongOptions, nullptr)) != -1) {
        bool stored = true;
        const char* option = nullptr;
        size_t limit = 0;
        const auto store = [&](auto& field, const char* name) {
            stored = storeField(field, optarg);
            option = name;
            limit = sizeof field - 1;
        };
        switch (opt) {
        case 'h':
            store(out.host, "host");
            break;
        case 'p':
            store(out.port, "port");
            break;
        case 'n':
            store(out.name, "name");
            break;
        case 'k':
            store(out.key, "key");
            break;
        case kTlsPort:
            store(out.tls_port, "tls-port");
            break;
        case kPasswordFile:
            store(out.password_file, "password-file");
            break;
        case kCaFile:
            store(out.ca_file, "ca-file");
            break;
        case kHostSubject:
            store(out.host_subject, "host-subject");
            break;
        case 'f':
            out.full_screen = true;
            break;
        case kKiosk:
            out.kiosk = out.full_screen = true;
            break;
        case kHotkeys: {
            store(out.hotkeys, "hotkeys");
            Hotkeys checked;
            QString error;
            if (stored && !parseHotkeys(QString::fromLocal8Bit(optarg), checked, error))
                return badValue(result, "hotkeys", error.toStdString());
            break;
        }
        case kKioskQuit:
            if (std::strcmp(optarg, "on-disconnect") != 0 && std::strcmp(optarg, "never") != 0)
                return badValue(result, "kiosk-quit", "it is on-disconnect or never");
            out.kiosk_quit = optarg[0] == 'o';
            break;
        case 'e':
            result.status = ParseResult::Usage;
            return result;
        default:
            ++errors;
            break;
        }
        if (!stored) {
            // A value cut to its field would silently address another host or send another key.
            result.status = ParseResult::TooLong;
            result.tooLongOption = option;
            result.tooLongLimit = limit;
            return result;
        }
    }
    if (errors > 0 || optind < argc) {
        result.status = ParseResult::Usage;
        return result;
    }
    // A TLS port alone is enough: every channel then goes over it.
    const bool anyPort = out.port[0] || out.tls_port[0];
    result.status = (out.host[0] && anyPort) ? ParseResult::Ok : ParseResult::MissingHostOrPort;
    return result;
}

void parse_cmd(int argc, char** argv)
{
    ParseResult result = parseArgs(argc, argv, g_args);
    switch (result.status) {
    case ParseResult::Ok:
        logSummary();
        if (g_args.password_file[0]) {
            std::string error;
            if (!readPasswordFile(g_args.password_file, g_password, error)) {
                Logger(ERROR) << error;
                std::exit(1);
            }
        }
        return;
    case ParseResult::MissingHostOrPort:
        Logger(ERROR) << "No host or port found";
        break;
    case ParseResult::TooLong:
        Logger(ERROR) << "Value of option --" << result.tooLongOption << " is too long (at most "
                      << result.tooLongLimit << " characters)";
        break;
    case ParseResult::BadValue:
        Logger(ERROR) << "Value of option --" << result.tooLongOption << " is not valid: " << result.badValue;
        break;
    case ParseResult::Usage:
        break;
    }
    printUsage();
    std::exit(1);
}

AppArgs* get_args()
{
    return &g_args;
}

const std::string& getPassword()
{
    return g_password;
}
