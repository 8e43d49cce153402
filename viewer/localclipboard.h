#pragma once

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QClipboard>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVector>

class QEventLoop;
class RemoteMimeData;
class SessionClient;

// The longest a local program's paste waits for the remote side's data.
constexpr int kClipboardFetchMs = 4000;

// The local half of clipboard sharing: tells the remote side what the local clipboard (and the X
// selection when it is shared) offers and answers its requests; puts the remote side's offers on
// them, their data fetched only when a local program asks for it (text at once, so that a paste of
// text rarely waits). It speaks plain data only: selections and types of SharedClipboard, bytes.
class LocalClipboard : public QObject, private QAbstractNativeEventFilter
{
    Q_OBJECT

public:
    explicit LocalClipboard(bool sharePrimary, QObject* parent = nullptr);
    ~LocalClipboard() override;

    // Wired to the session: its clipboard signals and calls; nothing when it shares no clipboard.
    static LocalClipboard* share(SessionClient* session, QObject* parent);

    // Says what the local selections offer now.
    void offerAll();
    // From the remote side.
    void remoteOffered(int selection, const QStringList& types);
    void remoteData(int selection, const QString& type, const QByteArray& data);
    void dataRequested(int selection, const QString& type);

    // A local program asks for the remote side's data: it waits here, at most kClipboardFetchMs.
    QByteArray fetch(RemoteMimeData* offer, const QString& type);

Q_SIGNALS:
    void offered(int selection, const QStringList& types);
    void answered(int selection, const QString& type, const QByteArray& data);
    void wanted(int selection, const QString& type);

private:
    struct Side {
        QPointer<RemoteMimeData> installed; // on the local selection (Qt owns it)
        QPointer<RemoteMimeData> latest;    // the remote side's current offer; null: none
        bool pending = false;               // latest waits to be installed
    };

    bool shared(int selection) const;
    bool nativeEventFilter(const QByteArray& eventType, void* message, long* result) override;
    void localChanged(QClipboard::Mode mode);
    void setLocal(int selection, RemoteMimeData* offer);
    void install(int selection);
    void wake();

    const bool sharePrimary;
    Side sides[2];
    QVector<QEventLoop*> waits; // the local requests waiting, innermost last
    bool settingLocal = false;  // our own change of the local clipboard is under way
};
