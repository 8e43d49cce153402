#include "args.h"

#include "connection_settings.h"
#include "hotkeys.h"
#include "log.h"
#include "password_file.h"

#include <QElapsedTimer>
#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iostream>
#include <iterator>
#include <poll.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

AppArgs g_args;

// Long-only options.
enum { kTlsPort = 256, kPasswordFile, kCaFile, kHostSubject, kProxy, kHotkeys, kKiosk, kKioskQuit };
// Sharing through the guest agent.
enum { kNoClipboard = 320, kNoFileCopy, kSharePrimary };
enum { kDebug = 384, kVersion };
// The guest's monitors.
enum { kAutoResize = 340, kNoCenterClick };
// The user's devices.
enum {
    kShareCd = 400,
    kShareDir,
    kShareDirRo,
    kNoMicrophone,
    kNoUsb,
    kUsbFilter,
    kUsbRedirectOnConnect,
    kSmartcard,
    kSmartcardDb,
    kSmartcardCerts
};

const char kUsage[] =
    "spice-client: A spice client\n"
    "Usage: spice-client [options]... [FILE | - | spice://HOST:PORT | spice+tls://HOST:PORT]\n"
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
    "  --version\n"
    "      Print the version and exit\n"
    "  --debug\n"
    "      Also log DEBUG lines (they name dropped files and clipboard types)\n"
    "  --password-file\n"
    "      Read password of spice server from first line of file\n"
    "  --tls-port\n"
    "      Set TLS port of spice server, every channel secure (-p then optional)\n"
    "  --ca-file\n"
    "      Set file of CA certificates that signed the server certificate\n"
    "  --host-subject\n"
    "      Set subject expected in the server certificate\n"
    "  --proxy\n"
    "      Set HTTP proxy [http://]HOST[:PORT] for every channel (else SPICE_PROXY); a user\n"
    "      name and password go in the connection file's proxy or in SPICE_PROXY\n"
    "  -f, --full-screen\n"
    "      Cover the screen the window is on (toggled by Shift+F11)\n"
    "  --hotkeys NAME=KEYS,...\n"
    "      Set hotkeys: toggle-fullscreen, release-cursor, secure-attention, menu,\n"
    "      smartcard-insert, smartcard-remove\n"
    "      (e.g. release-cursor=ctrl+alt+r; an empty KEYS turns a hotkey off)\n"
    "  --kiosk\n"
    "      Full screen that cannot be left or closed, reconnecting on its own\n"
    "  --kiosk-quit on-disconnect|never\n"
    "      In kiosk mode, end the program when the connection drops\n"
    "  --no-clipboard\n"
    "      Share no clipboard with the remote machine, either way\n"
    "  --no-file-copy\n"
    "      Refuse files dropped on the window\n"
    "  --share-primary\n"
    "      Share the selection (middle-click paste) too, not only the clipboard\n"
    "  --auto-resize always|never\n"
    "      With always (the default), the remote machine's resolution follows the window\n"
    "      and full screen, where its guest agent can change it\n"
    "  --no-center-click\n"
    "      Send no click to the centre of the first picture after a start\n"
    "  --share-cd FILE\n"
    "      Share a CD image (ISO) as a USB CD drive (may be given up to 4 times)\n"
    "  --share-dir DIR, --share-dir-ro DIR\n"
    "      Share a folder with the remote machine (-ro: it may read, not write)\n"
    "  --no-microphone\n"
    "      Record nothing when the remote machine opens its microphone\n"
    "  --no-usb\n"
    "      Redirect no USB device (nor CD image)\n"
    "  --usb-filter FILTER\n"
    "      USB devices redirected when plugged in while the viewer has the focus, as\n"
    "      class,vendor,product,version,allow|... (-1: any; default: all but keyboards and mice)\n"
    "  --usb-redirect-on-connect FILTER\n"
    "      USB devices redirected when the session opens (same form; default: none)\n"
    "  --smartcard\n"
    "      Forward the local smartcard readers\n"
    "  --smartcard-db DIR, --smartcard-certs NAME,NAME,NAME\n"
    "      A software smartcard from the three certificates of an NSS database\n"
    "  spice://HOST:PORT, spice+tls://HOST:TLSPORT\n"
    "      Connect to this address (also spice://HOST?port=P&tls-port=T); no password in it\n"
    "  FILE, -\n"
    "      Read the [virt-viewer] group of a connection file (- for standard input);\n"
    "      options given beside it override it\n";

const char kShortOptions[] = "eh:p:n:k:f";
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
    {"proxy", required_argument, nullptr, kProxy},
    {"full-screen", no_argument, nullptr, 'f'},
    {"hotkeys", required_argument, nullptr, kHotkeys},
    {"kiosk", no_argument, nullptr, kKiosk},
    {"kiosk-quit", required_argument, nullptr, kKioskQuit},
    {"no-clipboard", no_argument, nullptr, kNoClipboard},
    {"no-file-copy", no_argument, nullptr, kNoFileCopy},
    {"share-primary", no_argument, nullptr, kSharePrimary},
    {"debug", no_argument, nullptr, kDebug},
    {"version", no_argument, nullptr, kVersion},
    {"auto-resize", required_argument, nullptr, kAutoResize},
    {"no-center-click", no_argument, nullptr, kNoCenterClick},
    {"share-cd", required_argument, nullptr, kShareCd},
    {"share-dir", required_argument, nullptr, kShareDir},
    {"share-dir-ro", required_argument, nullptr, kShareDirRo},
    {"no-microphone", no_argument, nullptr, kNoMicrophone},
    {"no-usb", no_argument, nullptr, kNoUsb},
    {"usb-filter", required_argument, nullptr, kUsbFilter},
    {"usb-redirect-on-connect", required_argument, nullptr, kUsbRedirectOnConnect},
    {"smartcard", no_argument, nullptr, kSmartcard},
    {"smartcard-db", required_argument, nullptr, kSmartcardDb},
    {"smartcard-certs", required_argument, nullptr, kSmartcardCerts},
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

// The password stays out of the log, and so do the proxy's credentials.
void logSummary(const ConnectionSettings& s, const QString& source)
{
    Logger summary(INFO);
    summary << "host: " << s.host << ", port: " << s.port << ", name: " << s.title << ", key: " << g_args.key;
    if (!s.tlsPort.isEmpty())
        summary << ", tls-port: " << s.tlsPort;
    if (!s.proxy.isEmpty())
        summary << ", proxy: " << proxyForDisplay(s.proxy);
    if (s.fullscreen)
        summary << (g_args.kiosk ? ", kiosk" : ", full screen");
    if (!source.isEmpty())
        summary << ", from: " << source;
}

// Standard input to its end, or to one byte beyond `limit`. A terminal, or a writer that keeps it
// open, would keep the start waiting without a word: after a second, one line says so.
bool readStandardInput(QByteArray& bytes, qint64 limit, QString& error)
{
    QElapsedTimer clock;
    clock.start();
    bool said = false;
    char buffer[65536];
    while (bytes.size() <= limit) {
        pollfd ready{STDIN_FILENO, POLLIN, 0};
        const int waitMs = said ? -1 : int(qMax<qint64>(0, 1000 - clock.elapsed()));
        const int polled = poll(&ready, 1, waitMs);
        if (polled == 0) {
            Logger(INFO) << "Waiting for the connection file on standard input, which has not ended "
                            "(Ctrl+D ends it)";
            said = true;
            continue;
        }
        const ssize_t count = polled < 0 ? -1 : read(STDIN_FILENO, buffer, sizeof buffer);
        if (count == 0)
            return true;
        if (count < 0 && errno != EINTR) {
            error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (count > 0)
            bytes.append(buffer, int(count));
    }
    return true;
}

bool readSource(const QString& path, QByteArray& bytes, QString& error)
{
    // A connection file is a few kilobytes; anything far larger is not one.
    constexpr qint64 kMaxFile = 1 << 20;
    if (path == "-") {
        if (!readStandardInput(bytes, kMaxFile, error))
            return false;
    } else {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            bytes = file.read(kMaxFile + 1);
        if (!file.isOpen() || file.error() != QFileDevice::NoError) {
            error = file.errorString();
            return false;
        }
    }
    if (bytes.size() > kMaxFile) {
        error = QStringLiteral("larger than 1 MiB");
        return false;
    }
    return true;
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

const char* programVersion()
{
    return SPICE_CLIENT_VERSION;
}

void printVersion()
{
    std::cout << "spice-client " << programVersion() << '\n';
    std::cout.flush();
}

bool versionAsked(int argc, char** argv)
{
    // Qt's own options are still among the words: their errors are not ours to print.
    std::vector<char*> words(argv, argv + argc);
    words.push_back(nullptr);
    const int reportErrors = std::exchange(opterr, 0);
    AppArgs scratch;
    const bool asked = parseArgs(argc, words.data(), scratch).status == ParseResult::Version;
    opterr = reportErrors;
    return asked;
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
    while ((opt = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
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
        case kProxy:
            store(out.proxy, "proxy");
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
        case kNoClipboard:
            out.no_clipboard = true;
            break;
        case kNoFileCopy:
            out.no_file_copy = true;
            break;
        case kSharePrimary:
            out.share_primary = true;
            break;
        case kDebug:
            out.debug = true;
            break;
        case kVersion:
            result.status = ParseResult::Version;
            return result;
        case kAutoResize:
            if (std::strcmp(optarg, "always") != 0 && std::strcmp(optarg, "never") != 0)
                return badValue(result, "auto-resize", "it is always or never");
            out.auto_resize_never = optarg[0] == 'n';
            break;
        case kNoCenterClick:
            out.no_center_click = true;
            break;
        case kShareCd:
            if (out.share_cd_count == int(std::size(out.share_cd)))
                return badValue(result, "share-cd", "at most 4 CD images are shared");
            store(out.share_cd[out.share_cd_count++], "share-cd");
            break;
        case kShareDir:
        case kShareDirRo:
            store(out.share_dir, opt == kShareDir ? "share-dir" : "share-dir-ro");
            out.share_dir_ro = opt == kShareDirRo;
            break;
        case kNoMicrophone:
            out.no_microphone = true;
            break;
        case kNoUsb:
            out.no_usb = true;
            break;
        case kUsbFilter:
        case kUsbRedirectOnConnect: {
            const bool autoFilter = opt == kUsbFilter;
            store(autoFilter ? out.usb_filter : out.usb_redirect_on_connect,
                  autoFilter ? "usb-filter" : "usb-redirect-on-connect");
            QString error;
            if (stored && !checkUsbFilter(QString::fromUtf8(optarg), error))
                return badValue(result, autoFilter ? "usb-filter" : "usb-redirect-on-connect",
                                error.toStdString());
            break;
        }
        case kSmartcard:
            out.smartcard = true;
            break;
        case kSmartcardDb:
            store(out.smartcard_db, "smartcard-db");
            break;
        case kSmartcardCerts:
            store(out.smartcard_certs, "smartcard-certs");
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
    // One word besides the options: a connection file, "-" or an address.
    if (optind + 1 == argc && !storeField(out.source, argv[optind])) {
        result.status = ParseResult::TooLong;
        result.tooLongOption = "FILE";
        result.tooLongLimit = sizeof out.source - 1;
        return result;
    }
    if (errors > 0 || optind + 1 < argc) {
        result.status = ParseResult::Usage;
        return result;
    }
    if (out.source[0]) {
        result.status = ParseResult::Ok; // host and ports may come from the file
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
        break;
    case ParseResult::MissingHostOrPort:
        Logger(ERROR) << "No host or port found";
        printUsage();
        std::exit(1);
    case ParseResult::TooLong:
        if (result.tooLongOption == "FILE")
            Logger(ERROR) << "The connection file's name is too long (at most " << result.tooLongLimit
                          << " characters)";
        else
            Logger(ERROR) << "Value of option --" << result.tooLongOption << " is too long (at most "
                          << result.tooLongLimit << " characters)";
        printUsage();
        std::exit(1);
    case ParseResult::BadValue:
        Logger(ERROR) << "Value of option --" << result.tooLongOption << " is not valid: " << result.badValue;
        printUsage();
        std::exit(1);
    case ParseResult::Usage:
        printUsage();
        std::exit(1);
    case ParseResult::Version:
        printVersion();
        std::exit(0);
    }
    setLogDebug(g_args.debug);
    ConnectionInput input;
    input.args = &g_args;
    input.source = QString::fromLocal8Bit(g_args.source);
    input.environmentProxy = qEnvironmentVariable("SPICE_PROXY");
    input.readFile = readSource;
    ResolvedConnection resolved;
    QString error;
    if (!resolveConnection(input, resolved, error)) {
        Logger(ERROR) << error;
        if (resolved.missingHostOrPort)
            printUsage();
        std::exit(1);
    }
    ConnectionSettings& settings = resolved.settings;
    logSummary(settings,
               input.source.startsWith('-') || isSpiceAddress(input.source) ? QString() : input.source);
    if (!resolved.ignored.isEmpty()) {
        Logger line(INFO);
        line << "Not used from the connection file: " << resolved.ignored.join(QStringLiteral(", "));
        if (resolved.moreIgnored > 0)
            line << " and " << resolved.moreIgnored << " more";
    }
    if (g_args.password_file[0]) {
        std::string why;
        if (!readPasswordFile(g_args.password_file, settings.password, why)) {
            Logger(ERROR) << why;
            std::exit(1);
        }
    }
    currentConnection() = settings;
    // The file holds a one-time password: once read, nobody needs it again.
    if (resolved.deleteThisFile && !QFile::remove(resolved.file))
        Logger(WARN) << "Cannot delete the connection file " << resolved.file;
}

bool onlyOwnOptions(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word[0] != '-' || word[1] == 0) // an operand, a value, or standard input
            continue;
        // Qt's options are whole words ("-platform", "-display"): a short one of ours with its
        // value joined ("-p5900") might be one of them.
        if (word[1] != '-') {
            if (word[2] != 0 || word[1] == ':' || !std::strchr(kShortOptions, word[1]))
                return false;
            continue;
        }
        const std::string name(word + 2, std::strcspn(word + 2, "="));
        // Qt's X11 platform takes "--name VALUE" as its own -name.
        if (name.empty() || (name == "name" && !std::strchr(word, '=')))
            return false;
        bool ours = false;
        for (const option* o = kLongOptions; o->name && !ours; ++o)
            ours = std::strncmp(o->name, name.c_str(), name.size()) == 0;
        if (!ours)
            return false;
    }
    return true;
}

AppArgs* get_args()
{
    return &g_args;
}
