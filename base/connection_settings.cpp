#include "connection_settings.h"

#include "args.h"

#include <QUrl>
#include <QUrlQuery>
#include <map>

namespace
{

const char kGroup[] = "virt-viewer";

// Keys the viewer reads from the group; anything else is named once as ignored.
enum class Key {
    Type,
    Host,
    Port,
    TlsPort,
    Password,
    Ca,
    HostSubject,
    Proxy,
    SecureChannels,
    Title,
    DeleteThisFile,
    Fullscreen,
    ReleaseCursor,
    ToggleFullscreen,
    SecureAttention,
};
const std::map<QString, Key> kKeys = {
    {"type", Key::Type},
    {"host", Key::Host},
    {"port", Key::Port},
    {"tls-port", Key::TlsPort},
    {"password", Key::Password},
    {"ca", Key::Ca},
    {"host-subject", Key::HostSubject},
    {"proxy", Key::Proxy},
    {"secure-channels", Key::SecureChannels},
    {"title", Key::Title},
    {"delete-this-file", Key::DeleteThisFile},
    {"fullscreen", Key::Fullscreen},
    {"release-cursor", Key::ReleaseCursor},
    {"toggle-fullscreen", Key::ToggleFullscreen},
    {"secure-attention", Key::SecureAttention},
};

// The escapes of key files: \n \t \r \s \\; any other backslash stays as written.
QString unescape(const QString& value)
{
    QString out;
    out.reserve(value.size());
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c != '\\' || i + 1 == value.size()) {
            out += c;
            continue;
        }
        switch (value[++i].unicode()) {
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 's':
            out += ' ';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            out += '\\';
            out += value[i];
        }
    }
    return out;
}

bool validPort(const QString& text)
{
    bool ok = false;
    const int port = text.toInt(&ok);
    return ok && !text.startsWith('+') && port >= 1 && port <= 65535;
}

QString portError(const QString& key, const QString& value)
{
    return QStringLiteral("%1 \"%2\" is not a port number (1 to 65535)").arg(key, value);
}

bool parseBool(const QString& text, bool& out)
{
    if (text == "1" || text == "true")
        out = true;
    else if (text == "0" || text == "false")
        out = false;
    else
        return false;
    return true;
}

} // namespace

QString ConnectionSettings::serverKey() const
{
    return host + '\n' + port + '\n' + tlsPort;
}

QString ConnectionSettings::describe() const
{
    QString text = host + (tlsPort.isEmpty() ? " port " + port : " TLS port " + tlsPort);
    if (!proxy.isEmpty())
        text += " through the proxy " + proxyForDisplay(proxy);
    return text;
}

QString proxyForDisplay(const QString& proxy)
{
    QUrl url(proxy);
    if (!url.isValid())
        return QStringLiteral("(invalid address)");
    return url.toString(QUrl::RemoveUserInfo);
}

bool checkProxy(const QString& proxy, QString& error)
{
    const QUrl url(proxy, QUrl::StrictMode);
    const bool ok = url.isValid() && url.scheme() == "http" && !url.host().isEmpty() && url.port() > 0 &&
                    (url.path().isEmpty() || url.path() == "/") && !url.hasQuery() && !url.hasFragment();
    if (!ok)
        error = QStringLiteral("proxy \"%1\" is not an http://[USER:PASS@]HOST:PORT address")
                    .arg(url.isValid() ? proxyForDisplay(proxy) : QStringLiteral("(invalid)"));
    return ok;
}

bool isSpiceAddress(const QString& word)
{
    return word.contains(QStringLiteral("://"));
}

bool parseSpiceAddress(const QString& address, ConnectionSettings& out, QString& error)
{
    const QUrl url(address, QUrl::StrictMode);
    // Never repeat the address itself: it may hold a password.
    const auto fail = [&error](const QString& why) {
        error = "The address " + why;
        return false;
    };
    const QString scheme = url.scheme().toLower();
    if (!url.isValid())
        return fail("is not valid: " + url.errorString().section(';', 0, 0));
    if (scheme != "spice" && scheme != "spice+tls")
        return fail("is not a spice:// or spice+tls:// address");
    QUrlQuery query(url);
    if (!url.password().isEmpty() || query.hasQueryItem("password"))
        return fail("holds a password, which every user could read in the process list; "
                    "give it with --password-file instead");
    if (!url.userName().isEmpty())
        return fail("holds a user name; SPICE addresses take none");
    if (url.host().isEmpty())
        return fail("names no host");
    if (!url.path().isEmpty() && url.path() != "/")
        return fail("has a path; SPICE addresses take none");
    out.host = url.host();
    if (url.port() > 0)
        (scheme == "spice+tls" ? out.tlsPort : out.port) = QString::number(url.port());
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key != "port" && key != "tls-port")
            return fail("has the unknown setting \"" + key + "\"");
        if (!validPort(value))
            return fail("is not usable: " + portError(key, value));
        (key == "port" ? out.port : out.tlsPort) = value;
    }
    return true;
}

bool parseConnectionFile(const QByteArray& text, const QString& name, ConnectionFile& out, QString& error)
{
    out = ConnectionFile();
    ConnectionSettings& s = out.settings;
    bool inGroup = false, sawGroup = false, sawType = false;
    int lineNumber = 0;
    const auto fail = [&](const QString& why) {
        error = QStringLiteral("%1 line %2: %3").arg(name).arg(lineNumber).arg(why);
        return false;
    };
    for (const QByteArray& raw : text.split('\n')) {
        ++lineNumber;
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            if (!line.endsWith(']'))
                return fail("a group name without its closing ]");
            const QString group = line.mid(1, line.size() - 2);
            inGroup = group == kGroup;
            sawGroup = sawGroup || inGroup;
            if (!inGroup && !out.ignored.contains(line))
                out.ignored << line;
            continue;
        }
        const int equals = line.indexOf('=');
        if (equals <= 0)
            return fail("not a KEY=VALUE line");
        if (!inGroup)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = unescape(line.mid(equals + 1).trimmed());
        const auto known = kKeys.find(key);
        if (known == kKeys.end()) {
            if (!out.ignored.contains(key))
                out.ignored << key;
            continue;
        }
        switch (known->second) {
        case Key::Type:
            if (value != "spice")
                return fail(QStringLiteral("type \"%1\" is not spice").arg(value));
            sawType = true;
            break;
        case Key::Host:
            s.host = value;
            break;
        case Key::Port:
        case Key::TlsPort:
            if (!validPort(value))
                return fail(portError(key, value));
            (known->second == Key::Port ? s.port : s.tlsPort) = value;
            break;
        case Key::Password:
            s.password = value.toStdString();
            s.hasPasswordSource = true;
            break;
        case Key::Ca:
            s.ca = value.toUtf8();
            break;
        case Key::HostSubject:
            s.hostSubject = value;
            break;
        case Key::Proxy: {
            QString why;
            if (!value.isEmpty() && !checkProxy(value, why))
                return fail(why);
            s.proxy = value;
            break;
        }
        case Key::SecureChannels:
            s.secureChannels = value.split(';', Qt::SkipEmptyParts);
            break;
        case Key::Title:
            s.title = value;
            break;
        case Key::DeleteThisFile:
        case Key::Fullscreen: {
            bool flag = false;
            if (!parseBool(value, flag))
                return fail(QStringLiteral("%1 \"%2\" is neither 0 nor 1").arg(key, value));
            (known->second == Key::Fullscreen ? s.fullscreen : out.deleteThisFile) = flag;
            break;
        }
        case Key::ReleaseCursor:
            s.releaseCursor = value;
            break;
        case Key::ToggleFullscreen:
            s.toggleFullscreen = value;
            break;
        case Key::SecureAttention:
            s.secureAttention = value;
            break;
        }
    }
    if (!sawGroup) {
        error = name + ": no [virt-viewer] group; is it a connection file?";
        return false;
    }
    if (!sawType) {
        error = name + ": no type=spice in the [virt-viewer] group";
        return false;
    }
    return true;
}

bool resolveConnection(const ConnectionInput& input, ResolvedConnection& out, QString& error)
{
    out = ResolvedConnection();
    ConnectionSettings& s = out.settings;
    const AppArgs& args = *input.args;
    QString where = QStringLiteral("The command line");
    if (isSpiceAddress(input.source)) {
        if (!parseSpiceAddress(input.source, s, error))
            return false;
        where = QStringLiteral("The address");
    } else if (!input.source.isEmpty()) {
        const bool standardInput = input.source == "-";
        const QString name = standardInput ? QStringLiteral("standard input") : input.source;
        QByteArray bytes;
        QString why;
        if (!input.readFile(input.source, bytes, why)) {
            error = "Cannot read the connection file " + name + ": " + why;
            return false;
        }
        ConnectionFile file;
        if (!parseConnectionFile(bytes, name, file, error))
            return false;
        s = file.settings;
        out.ignored = file.ignored;
        out.deleteThisFile = file.deleteThisFile && !standardInput;
        out.file = standardInput ? QString() : input.source;
        where = name;
    }
    // The command line overrides what the file or address says.
    if (args.host[0])
        s.host = QString::fromUtf8(args.host);
    if (args.port[0])
        s.port = QString::fromUtf8(args.port);
    if (args.tls_port[0]) {
        s.tlsPort = QString::fromUtf8(args.tls_port);
        // A TLS port typed by hand means: nothing in clear.
        s.secureChannels = QStringList{"all"};
    }
    if (args.ca_file[0]) {
        s.caFile = QString::fromLocal8Bit(args.ca_file);
        s.ca.clear();
    }
    if (args.host_subject[0])
        s.hostSubject = QString::fromUtf8(args.host_subject);
    if (args.name[0])
        s.title = QString::fromUtf8(args.name);
    if (args.full_screen)
        s.fullscreen = true;
    if (args.password_file[0])
        s.hasPasswordSource = true;
    if (args.proxy[0]) {
        s.proxy = QString::fromUtf8(args.proxy);
        if (!checkProxy(s.proxy, error)) {
            error = "--proxy: " + error;
            return false;
        }
    } else if (s.proxy.isEmpty() && !input.environmentProxy.isEmpty()) {
        s.proxy = input.environmentProxy;
        if (!checkProxy(s.proxy, error)) {
            error = "SPICE_PROXY: " + error;
            return false;
        }
    }
    // Only a TLS port: every channel has to use it.
    if (!s.tlsPort.isEmpty() && s.port.isEmpty())
        s.secureChannels = QStringList{"all"};
    if (s.host.isEmpty() || (s.port.isEmpty() && s.tlsPort.isEmpty())) {
        out.missingHostOrPort = input.source.isEmpty();
        error = out.missingHostOrPort ? QStringLiteral("No host or port found")
                                      : where + (s.host.isEmpty() ? ": no host" : ": no port or tls-port");
        return false;
    }
    return true;
}

ConnectionSettings& currentConnection()
{
    static ConnectionSettings settings;
    return settings;
}
