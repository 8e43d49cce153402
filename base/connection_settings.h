#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <string>

struct AppArgs;

// Everything needed to reach one server, from the command line, a connection file or a spice://
// address. Unlike the command line's fixed fields, nothing here is cut: managers hand out host
// names far longer than a typed one.
struct ConnectionSettings {
    QString host;
    QString port;                   // plain port, as text; empty: none
    QString tlsPort;                // empty: none
    std::string password;           // never logged, never on a command line
    bool hasPasswordSource = false; // a password file or a file's password key was given
    QByteArray ca;                  // PEM text of the trust anchors, given inline
    QString caFile;
    QString hostSubject;
    QString proxy;                     // as written (parseProxy reads it); empty: direct
    bool proxyFromEnvironment = false; // SPICE_PROXY, checked only when it is used
    QStringList secureChannels;        // channels that must use TLS; with only a TLS port: all of them
    QString title;
    bool fullscreen = false;
    QString releaseCursor; // hotkeys as the file writes them, e.g. "shift+f12"
    QString toggleFullscreen;
    QString secureAttention;
    QString smartcardInsert;
    QString smartcardRemove;

    // The user's devices in the remote machine.
    QStringList sharedCds; // CD images shared as USB CD drives
    QString sharedDir;     // a shared folder; empty: none
    bool sharedDirReadOnly = false;
    bool microphone = true;
    bool usb = true;              // USB redirection at all (and CD images with it)
    bool usbAutoShare = true;     // devices the filter allows are redirected when plugged in
    QString usbFilter;            // that filter; empty: the default (all but keyboards and mice)
    QString usbFilterSource;      // where a filter not given on the command line came from, for its words
    QString usbRedirectOnConnect; // devices redirected when the session opens; empty: none
    bool smartcard = false;
    QString smartcardDb;        // an NSS database: a software card; empty: the local readers
    QStringList smartcardCerts; // its certificates' names

    // The server it names: two settings with the same key reach the same server.
    QString serverKey() const;
    // "HOST port P" or "HOST TLS port T", with " through the proxy URL" (without credentials).
    QString describe() const;
};

// A proxy as the SPICE library reads it: [SCHEME://][USER:PASSWORD@]HOST[:PORT][/], the scheme
// http (the default, port 3128) or https (port 3129). The library takes the user name and password
// as written (no %-escapes) and cuts them at the first @ and the first :, so neither may hold them.
struct ProxyAddress {
    QString scheme;
    QString user;
    QString password;
    QString host;
    int port = 0;
    // scheme://[USER:PASSWORD@]HOST:PORT, the one form the library reads as it was checked here.
    QString text(bool withCredentials) const;
};
bool parseProxy(const QString& proxy, ProxyAddress& out, QString& error);
// The form handed to the library; the text as given when it cannot be read.
QString proxyForLibrary(const QString& proxy);
// The proxy address without any user name and password, for the log and the window.
QString proxyForDisplay(const QString& proxy);

// Checks a USB filter in the SPICE library's form: rules "class,vendor,product,version,allow"
// joined by '|', -1 for any. False with `error` in words.
bool checkUsbFilter(const QString& filter, QString& error);
constexpr const char* kDefaultUsbFilter = "0x03,-1,-1,-1,0|-1,-1,-1,-1,1"; // all but keyboards and mice

// What a later start's connection does to the running one.
enum class HandOver {
    KeyOnly,     // the same server, and no link setting of its own that differs: only its key counts
    NewSettings, // the same server with other link settings (password, CA, subject, proxy, TLS)
    NewServer,   // another host, port or TLS port
};
HandOver handOverKind(const ConnectionSettings& running, const ConnectionSettings& later);

// What a connection file holds beyond the settings themselves.
struct ConnectionFile {
    ConnectionSettings settings;
    bool deleteThisFile = false;
    QStringList ignored; // keys (and groups) the viewer does not act on, the first kMaxIgnoredNamed
    int moreIgnored = 0; // and how many others
};
constexpr int kMaxIgnoredNamed = 16;

// Reads the [virt-viewer] group of a connection file's text. `name` is the file's name for the
// errors, which say where: "NAME line N: ...". False with `error` set when the file is unusable.
bool parseConnectionFile(const QByteArray& text, const QString& name, ConnectionFile& out, QString& error);

// Reads spice://HOST[:PORT][?port=P&tls-port=T] and spice+tls://HOST[:TLSPORT] into `out`.
bool parseSpiceAddress(const QString& address, ConnectionSettings& out, QString& error);

// Whether a positional argument is an address rather than a file.
bool isSpiceAddress(const QString& word);

// The command line (with its source word: a file, "-" or an address), the proxy of the
// environment and, for the source, a way to read a file's bytes (name "-": standard input).
// Options on the command line override the file; the proxy comes from --proxy, then the
// file, then SPICE_PROXY, which is checked by whoever uses it (a later start that only hands over
// its key does not). The password file is not read here.
struct ConnectionInput {
    const AppArgs* args = nullptr;
    QString source;
    QString environmentProxy;
    std::function<bool(const QString& path, QByteArray& bytes, QString& error)> readFile;
};
struct ResolvedConnection {
    ConnectionSettings settings;
    QString file; // the connection file read from disk; empty for standard input or an address
    bool deleteThisFile = false;
    QStringList ignored;
    int moreIgnored = 0;
    bool missingHostOrPort = false; // the error is the command line's: the usage text helps
};
bool resolveConnection(const ConnectionInput& input, ResolvedConnection& out, QString& error);

// The settings in use; set once the command line has been read, replaced on a switch of server.
ConnectionSettings& currentConnection();
