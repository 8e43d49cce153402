#include "x11window.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QObject>
#include <QVector>
#include <QX11Info>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <xcb/xcb.h>

namespace
{

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, false, std::strlen(name), name), nullptr);
    const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return value;
}

// A property's 32-bit values; empty when it is missing or the window is gone (an error asked for
// here is answered here, not in the toolkit's log).
QVector<quint32> property(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
{
    QVector<quint32> values;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, false, window, name, type, 0, 4096), nullptr);
    if (reply && reply->type == type && reply->format == 32) {
        const auto* data = static_cast<const quint32*>(xcb_get_property_value(reply));
        values = QVector<quint32>(data, data + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);
    return values;
}

// The window manager's check window: named by the root and naming itself while the manager runs
// (one that ended may leave the root's property behind).
xcb_window_t windowManagerCheck(xcb_connection_t* connection, xcb_window_t root)
{
    const xcb_atom_t check = atom(connection, "_NET_SUPPORTING_WM_CHECK");
    const QVector<quint32> named = property(connection, root, check, XCB_ATOM_WINDOW);
    if (named.size() != 1 || property(connection, named[0], check, XCB_ATOM_WINDOW) != named)
        return XCB_WINDOW_NONE;
    return named[0];
}

// The root's property changes on Qt's connection (selected there by Qt as well).
class DesktopWatch : public QObject, public QAbstractNativeEventFilter
{
public:
    DesktopWatch(QObject* owner, std::function<void()> desktopShown)
        : QObject(owner), desktopShown(std::move(desktopShown)), connection(QX11Info::connection()),
          root(QX11Info::appRootWindow()), currentDesktop(atom(connection, "_NET_CURRENT_DESKTOP"))
    {
        xcb_get_window_attributes_reply_t* attributes =
            xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, root), nullptr);
        const uint32_t selected = attributes ? attributes->your_event_mask : 0;
        std::free(attributes);
        added = ~selected & XCB_EVENT_MASK_PROPERTY_CHANGE;
        const uint32_t mask = selected | added;
        xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection);
        QCoreApplication::instance()->installNativeEventFilter(this);
    }

    ~DesktopWatch() override
    {
        QCoreApplication::instance()->removeNativeEventFilter(this);
        xcb_get_window_attributes_reply_t* attributes =
            xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, root), nullptr);
        if (attributes) {
            const uint32_t mask = attributes->your_event_mask & ~added;
            xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
            xcb_flush(connection);
        }
        std::free(attributes);
    }

    bool nativeEventFilter(const QByteArray& type, void* message, long*) override
    {
        if (type != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & ~0x80) == XCB_PROPERTY_NOTIFY) {
            const auto* property = reinterpret_cast<const xcb_property_notify_event_t*>(event);
            if (property->window == root && property->atom == currentDesktop && !std::exchange(queued, true))
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        queued = false;
                        desktopShown();
                    },
                    Qt::QueuedConnection);
        }
        return false;
    }

private:
    std::function<void()> desktopShown;
    xcb_connection_t* connection;
    xcb_window_t root;
    xcb_atom_t currentDesktop;
    uint32_t added = 0;  // the event mask bits selected here, not by Qt
    bool queued = false; // told once for switches that came together
};

} // namespace

bool x11WindowManagerHasFullScreen()
{
    xcb_connection_t* connection = QX11Info::connection();
    if (!connection)
        return true;
    const xcb_window_t root = QX11Info::appRootWindow();
    return windowManagerCheck(connection, root) != XCB_WINDOW_NONE &&
           property(connection, root, atom(connection, "_NET_SUPPORTED"), XCB_ATOM_ATOM)
               .contains(atom(connection, "_NET_WM_STATE_FULLSCREEN"));
}

void x11ActivateWindow(unsigned long window)
{
    xcb_connection_t* connection = QX11Info::connection();
    if (!connection)
        return;
    const xcb_window_t root = QX11Info::appRootWindow();
    if (windowManagerCheck(connection, root) == XCB_WINDOW_NONE) {
        xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(
            connection, xcb_get_window_attributes(connection, xcb_window_t(window)), nullptr);
        if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
            xcb_set_input_focus(connection, XCB_INPUT_FOCUS_PARENT, xcb_window_t(window), XCB_CURRENT_TIME);
        std::free(attributes);
        xcb_flush(connection);
        return;
    }
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = xcb_window_t(window);
    event.type = atom(connection, "_NET_ACTIVE_WINDOW");
    event.data.data32[0] = 2; // source: a pager, on the user's behalf
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection, false, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(connection);
}

void x11ShowOnAllDesktops(unsigned long window)
{
    xcb_connection_t* connection = QX11Info::connection();
    if (!connection)
        return;
    const xcb_atom_t desktop = atom(connection, "_NET_WM_DESKTOP");
    const quint32 all = 0xFFFFFFFF;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, xcb_window_t(window), desktop, XCB_ATOM_CARDINAL,
                        32, 1, &all);
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = xcb_window_t(window);
    event.type = desktop;
    event.data.data32[0] = all;
    event.data.data32[1] = 2; // source: a pager, on the user's behalf
    xcb_send_event(connection, false, QX11Info::appRootWindow(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(connection);
}

void x11WatchDesktop(QObject* owner, std::function<void()> desktopShown)
{
    if (QX11Info::connection())
        new DesktopWatch(owner, std::move(desktopShown));
}
