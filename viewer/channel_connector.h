#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>

struct ConnectionSettings;

// Opens the TCP connections of the connection process's channels, which may open none itself: to
// the server's TLS or plain port as the settings say, directly or through their HTTP proxy (CONNECT,
// with Basic credentials when the proxy has a user name; the proxy resolves the server's name). The
// window is never held up: names are resolved on Qt's resolver threads, connects run on the event
// loop. A socket comes out connected, with nothing of the server's read; a failure as its cause in
// words ("connection refused", "proxy unreachable: host name not found"), for the process to say.
class ChannelConnector : public QObject
{
    Q_OBJECT

public:
    // Longer than the connection process waits for a session to come up, which then says so itself.
    static constexpr int kBoundMs = 30000;

    explicit ChannelConnector(QObject* parent = nullptr);
    ~ChannelConnector() override;

    // Starts connecting for `request`; its outcome comes as opened or failed, unless cancelled.
    void open(uint32_t request, const ConnectionSettings& settings, bool tls);
    // Every connection under way is dropped, unanswered.
    void cancelAll();

Q_SIGNALS:
    // `fd` is the receiver's to close.
    void opened(uint32_t request, int fd);
    void failed(uint32_t request, const QString& words);

private:
    class Attempt;
    void finish(uint32_t request, int fd, const QString& words);

    std::map<uint32_t, std::unique_ptr<Attempt>> attempts;
};
