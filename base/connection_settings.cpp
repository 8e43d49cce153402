#include "connection_settings.h"

#include "args.h"

#include <QFileInfo>
#include <QSet>
#include <QTextCodec>
#include <QUrl>
#include <QUrlQuery>
#include <map>
#include <usbredirfilter.h>

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
    SmartcardInsert,
    SmartcardRemove,
    EnableUsbRedir,
    EnableUsbAutoshare,
    UsbFilter,
    UsbRedirectOnConnect,
    EnableSmartcard,
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
    {"smartcard-insert", Key::SmartcardInsert},
    {"smartcard-remove", Key::SmartcardRemove},
    {"enable-usbredir", Key::EnableUsbRedir},
    {"enable-usb-autoshare", Key::EnableUsbAutoshare},
    {"usb-filter", Key::UsbFilter},
    {"usb-redirect-on-connect", Key::UsbRedirectOnConnect},
    {"enable-smartcard", Key::EnableSmartcard},
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

namespace
{

// The proxy as written, with nothing of what may be a user name or password: the library takes
// everything before the first @ for them, a careless writer may have put more than one.
QString withoutCredentials(const QString& proxy)
{
    const QString text = proxy.trimmed();
    const int scheme = text.indexOf(QStringLiteral("://"));
    const int at = text.lastIndexOf('@');
    if (at < 0)
        return text;
    return (scheme >= 0 && scheme < at ? text.left(scheme + 3) : QString()) + text.mid(at + 1);
}

} // namespace

QString ProxyAddress::text(bool withCredentials) const
{
    QString text = scheme + QStringLiteral("://");
    if (withCredentials && !user.isEmpty())
        text += user + ':' + password + '@';
    text += host.contains(':') ? '[' + host + ']' : host;
    return text + ':' + QString::number(port);
}

bool parseProxy(const QString& proxy, ProxyAddress& out, QString& error)
{
    out = ProxyAddress();
    const auto fail = [&](const QString& why) {
        error = QStringLiteral("proxy \"%1\" %2").arg(withoutCredentials(proxy), why);
        return false;
    };
    QString text = proxy.trimmed();
    const int schemeEnd = text.indexOf(QStringLiteral("://"));
    out.scheme = schemeEnd < 0 ? QStringLiteral("http") : text.left(schemeEnd).toLower();
    if (out.scheme != "http" && out.scheme != "https")
        return fail(QStringLiteral("is not an http:// or https:// address"));
    out.port = out.scheme == "http" ? 3128 : 3129;
    if (schemeEnd >= 0)
        text = text.mid(schemeEnd + 3);
    const int at = text.indexOf('@');
    if (at >= 0) {
        const QStringList credentials = text.left(at).split(':');
        text = text.mid(at + 1);
        if (text.contains('@') || credentials.size() > 2)
            return fail(QStringLiteral("has a user name or password with @ or :, which the SPICE library "
                                       "cuts there; only a password without them can be sent"));
        if (credentials.size() < 2 || credentials[0].isEmpty() || credentials[1].isEmpty())
            return fail(QStringLiteral("has a user name without a password, or a password without a user "
                                       "name (USER:PASSWORD@HOST)"));
        out.user = credentials[0];
        out.password = credentials[1];
    }
    if (text.endsWith('/'))
        text.chop(1);
    const QString form = QStringLiteral("is not [http://][USER:PASSWORD@]HOST[:PORT]");
    QString port;
    bool portGiven = false;
    if (text.startsWith('[')) {
        const int close = text.indexOf(']');
        const QString rest = text.mid(close + 1);
        if (close < 0 || (!rest.isEmpty() && !rest.startsWith(':')))
            return fail(form);
        out.host = text.mid(1, close - 1);
        portGiven = !rest.isEmpty();
        port = rest.mid(1);
    } else {
        const int colon = text.indexOf(':');
        portGiven = colon >= 0;
        out.host = text.left(colon);
        port = text.mid(colon + 1);
    }
    if (out.host.isEmpty())
        return fail(QStringLiteral("names no host"));
    for (const QChar c : out.host + (portGiven ? port : QString()))
        if (c.isSpace() || QStringLiteral("/?#[]@").contains(c))
            return fail(form);
    if (portGiven) {
        if (!validPort(port))
            return fail(QStringLiteral("has no port number (1 to 65535) after its host"));
        out.port = port.toInt();
    }
    return true;
}

QString proxyForLibrary(const QString& proxy)
{
    ProxyAddress address;
    QString error;
    return parseProxy(proxy, address, error) ? address.text(true) : proxy;
}

QString proxyForDisplay(const QString& proxy)
{
    ProxyAddress address;
    QString error;
    return parseProxy(proxy, address, error) ? address.text(false) : QStringLiteral("(invalid address)");
}

HandOver handOverKind(const ConnectionSettings& running, const ConnectionSettings& later)
{
    if (later.serverKey() != running.serverKey())
        return HandOver::NewServer;
    // A start that names nothing of the link (a launcher's key) leaves the running one as it is.
    const bool ownLink = later.hasPasswordSource || !later.ca.isEmpty() || !later.caFile.isEmpty() ||
                         !later.hostSubject.isEmpty() ||
                         (!later.proxy.isEmpty() && !later.proxyFromEnvironment);
    const bool same = later.password == running.password && later.ca == running.ca &&
                      later.caFile == running.caFile && later.hostSubject == running.hostSubject &&
                      proxyForLibrary(later.proxy) == proxyForLibrary(running.proxy) &&
                      later.secureChannels == running.secureChannels;
    return ownLink && !same ? HandOver::NewSettings : HandOver::KeyOnly;
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
    QSet<QString> ignored; // a file may hold thousands of keys the viewer does not know
    const auto ignore = [&](const QString& name) {
        if (ignored.contains(name))
            return;
        ignored.insert(name);
        if (out.ignored.size() < kMaxIgnoredNamed)
            out.ignored << name;
        else
            ++out.moreIgnored;
    };
    const auto fail = [&](const QString& why) {
        error = QStringLiteral("%1 line %2: %3").arg(name).arg(lineNumber).arg(why);
        return false;
    };
    QTextCodec* utf8 = QTextCodec::codecForMib(106);
    for (const QByteArray& raw : text.split('\n')) {
        ++lineNumber;
        QTextCodec::ConverterState state;
        const QString line = utf8->toUnicode(raw.constData(), raw.size(), &state).trimmed();
        // Read as UTF-8 anyway, a Latin-1 password would reach the server changed and be refused. A
        // sequence cut at the line's end stays "remaining".
        if (state.invalidChars > 0 || state.remainingChars > 0)
            return fail(QStringLiteral("not UTF-8 text (save the file as UTF-8)"));
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            if (!line.endsWith(']'))
                return fail("a group name without its closing ]");
            const QString group = line.mid(1, line.size() - 2);
            inGroup = group == kGroup;
            sawGroup = sawGroup || inGroup;
            if (!inGroup)
                ignore(line);
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
            ignore(key);
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
            ProxyAddress address;
            QString why;
            if (!value.isEmpty() && !parseProxy(value, address, why))
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
        case Key::Fullscreen:
        case Key::EnableUsbRedir:
        case Key::EnableUsbAutoshare:
        case Key::EnableSmartcard: {
            bool flag = false;
            if (!parseBool(value, flag))
                return fail(QStringLiteral("%1 \"%2\" is neither 0 nor 1").arg(key, value));
            const Key which = known->second;
            (which == Key::Fullscreen           ? s.fullscreen
             : which == Key::EnableUsbRedir     ? s.usb
             : which == Key::EnableUsbAutoshare ? s.usbAutoShare
             : which == Key::EnableSmartcard    ? s.smartcard
                                                : out.deleteThisFile) = flag;
            break;
        }
        case Key::UsbFilter:
            // A bad filter does not keep the viewer from starting: the devices menu says what is
            // wrong with it, and nothing is redirected by it.
            s.usbFilter = value;
            s.usbFilterSource = name;
            break;
        case Key::UsbRedirectOnConnect:
            s.usbRedirectOnConnect = value;
            break;
        case Key::SmartcardInsert:
            s.smartcardInsert = value;
            break;
        case Key::SmartcardRemove:
            s.smartcardRemove = value;
            break;
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
        out.moreIgnored = file.moreIgnored;
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
    // The connection process may not share this one's working folder: paths go whole.
    for (int i = 0; i < args.share_cd_count; ++i)
        s.sharedCds << QFileInfo(QString::fromLocal8Bit(args.share_cd[i])).absoluteFilePath();
    if (args.share_dir[0]) {
        s.sharedDir = QFileInfo(QString::fromLocal8Bit(args.share_dir)).absoluteFilePath();
        s.sharedDirReadOnly = args.share_dir_ro;
    }
    if (args.no_microphone)
        s.microphone = false;
    if (args.no_usb)
        s.usb = false;
    if (args.usb_filter[0]) {
        s.usbFilter = QString::fromUtf8(args.usb_filter);
        s.usbFilterSource.clear();
    }
    if (args.usb_redirect_on_connect[0])
        s.usbRedirectOnConnect = QString::fromUtf8(args.usb_redirect_on_connect);
    if (args.smartcard_db[0])
        s.smartcardDb = QString::fromLocal8Bit(args.smartcard_db);
    if (args.smartcard_certs[0])
        s.smartcardCerts = QString::fromUtf8(args.smartcard_certs).split(',', Qt::SkipEmptyParts);
    if (args.smartcard || args.smartcard_db[0])
        s.smartcard = true;
    if (args.proxy[0]) {
        s.proxy = QString::fromUtf8(args.proxy);
        ProxyAddress address;
        if (!parseProxy(s.proxy, address, error)) {
            error = "--proxy: " + error;
            return false;
        }
        if (!address.user.isEmpty()) {
            error = QStringLiteral("--proxy holds a user name and password, which every user could read in "
                                   "the process list; give them in the connection file's proxy key or in "
                                   "SPICE_PROXY instead");
            return false;
        }
    } else if (s.proxy.isEmpty() && !input.environmentProxy.isEmpty()) {
        s.proxy = input.environmentProxy;
        s.proxyFromEnvironment = true;
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

bool checkUsbFilter(const QString& filter, QString& error)
{
    usbredirfilter_rule* rules = nullptr;
    int count = 0;
    const QByteArray text = filter.toUtf8();
    const int rc = usbredirfilter_string_to_rules(text.constData(), ",", "|", &rules, &count);
    usbredirfilter_free(rules);
    if (rc == 0)
        return true;
    error =
        QStringLiteral("\"%1\" is not a USB filter (rules class,vendor,product,version,allow joined by |, "
                       "-1 for any)")
            .arg(filter);
    return false;
}

ConnectionSettings& currentConnection()
{
    static ConnectionSettings settings;
    return settings;
}
