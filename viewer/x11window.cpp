#include "x11window.h"

#include <QVector>
#include <QX11Info>
#include <cstdlib>
#include <cstring>
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
