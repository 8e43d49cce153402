// The clipboard bridge against recorded calls of the main channel: line ends for a CRLF guest, and
// no grab bounced back in either direction.
#include "clipboard.h"
#include <QClipboard>
#include <QGuiApplication>
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
private Q_SLOTS:
    void lineEnds()
    {
        QCOMPARE(toGuestLineEnds("a\nb\r\n\nc", true), QByteArray("a\r\nb\r\n\r\nc"));
        QCOMPARE(fromGuestLineEnds("a\r\nb\r\n\r\nc\r", true), QByteArray("a\nb\n\nc\r"));
        QCOMPARE(toGuestLineEnds("a\nb", false), QByteArray("a\nb"));
    }
    void noPingPong()
    {
        SpiceSession* session = spice_session_new();
        auto* channel = SPICE_MAIN_CHANNEL(spice_channel_new(session, SPICE_CHANNEL_MAIN, 0));
        QClipboard* local = QGuiApplication::clipboard();
        local->setText("before");
        ClipboardBridge bridge(false);
        bridge.attach(channel);
        bridge.agentChanged(true); // what is local is offered once
        local->setText("one\ntwo");
        g_signal_emit_by_name(channel, "main-clipboard-selection-request", 0u, 1u, nullptr);
        QCOMPARE(calls, QStringList({"grab 0 1", "grab 0 1", "notify 1 one\r\ntwo"}));
        calls.clear();
        guint32 types[] = {VD_AGENT_CLIPBOARD_IMAGE_PNG, VD_AGENT_CLIPBOARD_UTF8_TEXT};
        gboolean handled = FALSE;
        g_signal_emit_by_name(channel, "main-clipboard-selection-grab", 0u, types, 2u, &handled);
        QCOMPARE(local->text(), QString()); // nothing stale while the data is on its way
        g_signal_emit_by_name(channel, "main-clipboard-selection", 0u, 1u, "x\r\ny", 4u);
        QCOMPARE(local->text(), QString("x\ny"));
        g_signal_emit_by_name(channel, "main-clipboard-selection-release", 0u);
        QCOMPARE(local->text(), QString());
        QCOMPARE(calls, QStringList({"request 0 1"})); // neither a grab nor a release went back
        bridge.detach();
        g_object_unref(session);
    }
};

QTEST_MAIN(TestClipboard)
#include "test_clipboard.moc"
