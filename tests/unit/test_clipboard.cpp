// Both halves of clipboard sharing, wired as the session wires them, against recorded calls of the
// main channel: line ends for a CRLF guest, no grab bounced back, remote data fetched only for a
// local read and decoded only by its type's reader, nothing shared while no window is shown.
#include "clipboard.h"
#include "localclipboard.h"
#include "session.h"
#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QtTest>
#include <spice/vd_agent.h>

static QStringList calls; // what the bridge sent to the agent
void spice_main_channel_clipboard_selection_grab(SpiceMainChannel*, guint sel, guint32* types, int n)
{
    calls << QString("grab %1 %2").arg(sel).arg(n ? types[0] : 0);
}
void spice_main_channel_clipboard_selection_release(SpiceMainChannel*, guint sel)
{
    calls << QString("release %1").arg(sel);
}
void spice_main_channel_clipboard_selection_request(SpiceMainChannel*, guint sel, guint32 type)
{
    calls << QString("request %1 %2").arg(sel).arg(type);
}
void spice_main_channel_clipboard_selection_notify(SpiceMainChannel*, guint, guint32 type, const guchar* d,
                                                   size_t n)
{
    calls << QString("notify %1 ").arg(type) + QString::fromUtf8(reinterpret_cast<const char*>(d), int(n));
}
gboolean spice_main_channel_agent_test_capability(SpiceMainChannel*, guint32 cap)
{
    return cap == VD_AGENT_CAP_GUEST_LINEEND_CRLF || cap == VD_AGENT_CAP_CLIPBOARD_BY_DEMAND;
}

class TestClipboard : public QObject
{
    Q_OBJECT
    SpiceMainChannel* channel = nullptr;

    void grab(std::initializer_list<guint32> offered)
    {
        QVector<guint32> types(offered);
        gboolean handled = FALSE;
        g_signal_emit_by_name(channel, "main-clipboard-selection-grab", 0u, types.data(), guint(types.size()),
                              &handled);
    }
    // The remote side's answer, sent while a local read waits for it.
    void answerLater(guint type, const QByteArray& data, guint size)
    {
        QTimer::singleShot(0, this, [=] {
            g_signal_emit_by_name(channel, "main-clipboard-selection", 0u, type, data.constData(), size);
        });
    }
    static QByteArray encoded(const QImage& image, const char* format)
    {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, format);
        return bytes;
    }

private Q_SLOTS:
    void lineEnds()
    {
        QCOMPARE(toGuestLineEnds("a\nb\r\n\nc", true), QByteArray("a\r\nb\r\n\r\nc"));
        QCOMPARE(fromGuestLineEnds("a\r\nb\r\n\r\nc\r", true), QByteArray("a\nb\n\nc\r"));
        QCOMPARE(toGuestLineEnds("a\nb", false), QByteArray("a\nb"));
    }
    void imageBound()
    {
        QString why;
        QVERIFY(guestImageToPng(VD_AGENT_CLIPBOARD_IMAGE_BMP,
                                encoded(QImage(9000, 1, QImage::Format_RGB32), "BMP"), &why)
                    .isEmpty());
        QVERIFY2(why.contains("over the limit of 8192x8192"), qPrintable(why));
        QVERIFY(!guestImageToPng(VD_AGENT_CLIPBOARD_IMAGE_BMP,
                                 encoded(QImage(8192, 1, QImage::Format_RGB32), "BMP"))
                     .isEmpty());
    }
    void sharing()
    {
        SpiceSession* session = spice_session_new();
        channel = SPICE_MAIN_CHANNEL(spice_channel_new(session, SPICE_CHANNEL_MAIN, 0));
        QClipboard* local = QGuiApplication::clipboard();
        local->setText("before");
        ClipboardBridge bridge(false);
        LocalClipboard half(false);
        connect(&half, &LocalClipboard::offered, &bridge, &ClipboardBridge::localOffered);
        connect(&half, &LocalClipboard::answered, &bridge, &ClipboardBridge::localAnswered);
        connect(&half, &LocalClipboard::wanted, &bridge, &ClipboardBridge::remoteWanted);
        connect(&bridge, &ClipboardBridge::remoteOffered, &half, &LocalClipboard::remoteOffered);
        connect(&bridge, &ClipboardBridge::remoteData, &half, &LocalClipboard::remoteData);
        connect(&bridge, &ClipboardBridge::localWanted, &half, &LocalClipboard::dataRequested);
        half.offerAll();
        bridge.attach(channel);
        bridge.agentChanged(true);
        QCOMPARE(calls, QStringList()); // no window shown yet (-k): nothing offered
        bridge.setShown(true);          // what is local is offered once
        local->setText("one\ntwo");
        g_signal_emit_by_name(channel, "main-clipboard-selection-request", 0u, 1u, nullptr);
        QCOMPARE(calls, QStringList({"grab 0 1", "grab 0 1", "notify 1 one\r\ntwo"}));
        calls.clear();

        // Text is fetched at once, an image only when read, and then by its own type's reader.
        grab({VD_AGENT_CLIPBOARD_IMAGE_BMP, VD_AGENT_CLIPBOARD_UTF8_TEXT});
        g_signal_emit_by_name(channel, "main-clipboard-selection", 0u, 1u, "x\r\ny", 4u);
        QCOMPARE(local->text(), QString("x\ny"));
        QCOMPARE(calls, QStringList({"request 0 1"}));
        grab({VD_AGENT_CLIPBOARD_IMAGE_BMP});
        QImage image(3, 2, QImage::Format_RGB32);
        image.fill(Qt::red);
        answerLater(VD_AGENT_CLIPBOARD_IMAGE_BMP, encoded(image, "BMP"), guint(encoded(image, "BMP").size()));
        QCOMPARE(QImage::fromData(local->mimeData()->data("image/png"), "PNG"), image);
        // An answer later than a read can wait (a large copy on a slow link) is the next read's.
        grab({VD_AGENT_CLIPBOARD_IMAGE_PNG});
        calls.clear();
        QCOMPARE(local->mimeData()->data("image/png"), QByteArray());
        const QByteArray png = encoded(image, "PNG");
        g_signal_emit_by_name(channel, "main-clipboard-selection", 0u, guint(VD_AGENT_CLIPBOARD_IMAGE_PNG),
                              png.constData(), guint(png.size()));
        QCOMPARE(QImage::fromData(local->mimeData()->data("image/png"), "PNG"), image);
        QCOMPARE(calls, QStringList({"request 0 2"}));
        // A new offer while a local read waits: the read gets nothing, the new offer follows it.
        grab({VD_AGENT_CLIPBOARD_IMAGE_PNG});
        QTimer::singleShot(0, this, [this] { grab({VD_AGENT_CLIPBOARD_UTF8_TEXT}); });
        QCOMPARE(local->mimeData()->data("image/png"), QByteArray());
        g_signal_emit_by_name(channel, "main-clipboard-selection", 0u, 1u, "new", 3u);
        QTRY_COMPARE(local->text(), QString("new"));
        // A message over the agent's limit is refused before a byte of it is read.
        grab({VD_AGENT_CLIPBOARD_UTF8_TEXT});
        g_signal_emit_by_name(channel, "main-clipboard-selection", 0u, 1u, "abc", 0x90000000u);
        QCOMPARE(local->text(), QString());
        g_signal_emit_by_name(channel, "main-clipboard-selection-release", 0u);
        QVERIFY(!calls.join(' ').contains("grab") && !calls.join(' ').contains("release"));
        calls.clear();

        bridge.detach();
        g_object_unref(session);
    }
};

QTEST_MAIN(TestClipboard)
#include "test_clipboard.moc"
