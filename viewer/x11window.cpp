#include "x11window.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QCursor>
#include <QObject>
#include <QVector>
#include <QWidget>
#include <QX11Info>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
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

// A request about `window` to the window manager, `data` its message's words.
void askWindowManager(xcb_connection_t* connection, unsigned long window, xcb_atom_t type,
                      std::initializer_list<uint32_t> data)
{
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = xcb_window_t(window);
    event.type = type;
    std::copy(data.begin(), data.end(), event.data.data32);
    xcb_send_event(connection, false, QX11Info::appRootWindow(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(connection);
}

// A pager's requests say so: the window manager carries them out on the user's behalf.
constexpr uint32_t kSourcePager = 2;

// Created by this client (Qt's windows, its menus and dialogs).
bool ownWindow(xcb_connection_t* connection, xcb_window_t window)
{
    const xcb_setup_t* setup = xcb_get_setup(connection);
    return (window & ~setup->resource_id_mask) == setup->resource_id_base;
}

// A window of this client, or a frame a window manager put around one.
bool ownTopLevel(xcb_connection_t* connection, xcb_window_t window)
{
    if (ownWindow(connection, window))
        return true;
    xcb_query_tree_reply_t* tree =
        xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr);
    bool own = false;
    if (tree) {
        const xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree) && !own; ++i)
            own = ownWindow(connection, children[i]);
    }
    std::free(tree);
    return own;
}

// Requests to the window manager, sent to the root: SubstructureNotify there brings them to this client
// too, where Qt would take one that names its window as its own (an activation, as a focus).
constexpr const char* kRootRequests[] = {
    "_NET_ACTIVE_WINDOW",
    "_NET_WM_STATE",
    "WM_CHANGE_STATE",
    "_NET_WM_DESKTOP",
    "_NET_CLOSE_WINDOW",
    "_NET_RESTACK_WINDOW",
    "_NET_MOVERESIZE_WINDOW",
    "_NET_WM_MOVERESIZE",
    "_NET_CURRENT_DESKTOP",
    "_NET_SHOWING_DESKTOP",
    "_NET_NUMBER_OF_DESKTOPS",
    "_NET_DESKTOP_VIEWPORT",
    "_NET_DESKTOP_GEOMETRY",
    "_NET_REQUEST_FRAME_EXTENTS",
    "_NET_WM_FULLSCREEN_MONITORS",
};

// The root's events on Qt's connection. The root's children are watched with SubstructureNotify,
// added to what Qt selected there; Qt never asked for what it brings, so that ends here.
class DesktopWatch : public QObject, public QAbstractNativeEventFilter
{
public:
    DesktopWatch(QObject* owner, std::function<void(X11DesktopChange)> changed)
        : QObject(owner), changed(std::move(changed)), connection(QX11Info::connection()),
          root(QX11Info::appRootWindow()), currentDesktop(atom(connection, "_NET_CURRENT_DESKTOP"))
    {
        for (const char* name : kRootRequests)
            requests.append(atom(connection, name));
        xcb_get_window_attributes_reply_t* attributes =
            xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, root), nullptr);
        const uint32_t selected = attributes ? attributes->your_event_mask : 0;
        std::free(attributes);
        added = ~selected & (XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
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
        const bool ours = added & XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY; // Qt did not select it
        switch (event->response_type & ~0x80) {
        case XCB_PROPERTY_NOTIFY: {
            const auto* property = reinterpret_cast<const xcb_property_notify_event_t*>(event);
            if (property->window == root && property->atom == currentDesktop)
                tell(X11DesktopChange::DesktopShown);
            return false;
        }
        case XCB_CLIENT_MESSAGE:
            return ours &&
                   requests.contains(reinterpret_cast<const xcb_client_message_event_t*>(event)->type);
        case XCB_MAP_NOTIFY:
        case XCB_CONFIGURE_NOTIFY:
        case XCB_CIRCULATE_NOTIFY:
            if (aboutChild(event) && !ownWindow(connection, aboutChild(event)))
                tell(X11DesktopChange::WindowStacked);
            return ours && aboutChild(event);
        case XCB_CREATE_NOTIFY:
        case XCB_DESTROY_NOTIFY:
        case XCB_UNMAP_NOTIFY:
        case XCB_REPARENT_NOTIFY:
        case XCB_GRAVITY_NOTIFY:
            return ours && aboutChild(event);
        default:
            return false;
        }
    }

private:
    void tell(X11DesktopChange change)
    {
        const bool queued = pending != 0;
        pending |= 1 << int(change);
        if (queued)
            return;
        QMetaObject::invokeMethod(
            this,
            [this] {
                const int told = std::exchange(pending, 0);
                for (X11DesktopChange change :
                     {X11DesktopChange::DesktopShown, X11DesktopChange::WindowStacked})
                    if (told & (1 << int(change)))
                        changed(change);
            },
            Qt::QueuedConnection);
    }

    // The root's child a structure event tells of, told to the root; none for any other event. Each
    // of these events starts with the window told (the parent, for a creation) and the one it is about.
    xcb_window_t aboutChild(const xcb_generic_event_t* event) const
    {
        const auto* notify = reinterpret_cast<const xcb_map_notify_event_t*>(event);
        return notify->event == root && notify->window != root ? notify->window
                                                               : xcb_window_t(XCB_WINDOW_NONE);
    }

    std::function<void(X11DesktopChange)> changed;
    xcb_connection_t* connection;
    xcb_window_t root;
    xcb_atom_t currentDesktop;
    QVector<xcb_atom_t> requests; // kRootRequests
    uint32_t added = 0;           // the event mask bits selected here, not by Qt
    int pending = 0;              // the changes not told yet, one bit each
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
    askWindowManager(connection, window, atom(connection, "_NET_ACTIVE_WINDOW"),
                     {kSourcePager, XCB_CURRENT_TIME});
}

bool x11PointerOver(const QWidget* window)
{
    xcb_connection_t* connection = QX11Info::connection();
    if (!connection)
        return window->rect().contains(window->mapFromGlobal(QCursor::pos()));
    const xcb_window_t id = xcb_window_t(window->winId());
    const xcb_query_pointer_cookie_t pointer = xcb_query_pointer(connection, id);
    const xcb_get_geometry_cookie_t geometry = xcb_get_geometry(connection, id);
    xcb_query_pointer_reply_t* at = xcb_query_pointer_reply(connection, pointer, nullptr);
    xcb_get_geometry_reply_t* size = xcb_get_geometry_reply(connection, geometry, nullptr);
    const bool over = at && size && at->same_screen && at->win_x >= 0 && at->win_y >= 0 &&
                      at->win_x < size->width && at->win_y < size->height;
    std::free(at);
    std::free(size);
    return over;
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
    askWindowManager(connection, window, desktop, {all, kSourcePager});
}

bool x11OnTop(unsigned long window)
{
    xcb_connection_t* connection = QX11Info::connection();
    if (!connection)
        return true;
    xcb_query_tree_reply_t* tree =
        xcb_query_tree_reply(connection, xcb_query_tree(connection, QX11Info::appRootWindow()), nullptr);
    if (!tree)
        return true;
    // Bottom to top: the children above the window, asked all at once.
    const xcb_window_t* children = xcb_query_tree_children(tree);
    const int count = xcb_query_tree_children_length(tree);
    const int at = int(std::find(children, children + count, xcb_window_t(window)) - children);
    QVector<std::pair<xcb_window_t, xcb_get_window_attributes_cookie_t>> above;
    for (int i = at + 1; i < count; ++i)
        if (!ownWindow(connection, children[i]))
            above.append({children[i], xcb_get_window_attributes(connection, children[i])});
    std::free(tree);
    bool onTop = true;
    for (const auto& [child, cookie] : above) {
        xcb_get_window_attributes_reply_t* attributes =
            xcb_get_window_attributes_reply(connection, cookie, nullptr);
        if (onTop && attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
            !ownTopLevel(connection, child))
            onTop = false;
        std::free(attributes);
    }
    return onTop;
}

void x11WatchDesktop(QObject* owner, std::function<void(X11DesktopChange)> changed)
{
    if (QX11Info::connection())
        new DesktopWatch(owner, std::move(changed));
}
