#pragma once

#include <QObject>
#include <QSslSocket>
#include <QString>
#include <functional>
#include <vector>

class QSocketNotifier;
struct ConnectionSettings;

// TLS over the window's socket, the library on the plain end of a socket pair. The handshake and
// the certificate's checks (the CA, then the subject or the host name) come first; then bytes pass
// both ways until either side closes, and the link deletes itself. Deleted earlier (its owner goes),
// it closes both ends and says nothing more.
class TlsLink : public QObject
{
public:
    std::function<void(int)> ready;              // the plain end, the receiver's
    std::function<void(const QString&)> refused; // why there is no link, in words

    TlsLink(int tcp, const ConnectionSettings& settings, QObject* parent = nullptr);
    ~TlsLink() override;

private:
    void fail(const QString& words);
    void encrypted();
    void down();
    void up();
    void closing();
    void finish();

    QSslSocket ssl;
    QString subject;
    QString untrusted; // the first certificate error that was not let pass
    int plain = -1;    // this side of the pair, once linked
    QSocketNotifier* fromLibrary = nullptr;
    QSocketNotifier* toLibrary = nullptr;
    std::vector<char> held; // read from the server; the library has taken it up to heldAt
    size_t heldAt = 0;
    bool inDown = false;
    bool serverGone = false;
};
