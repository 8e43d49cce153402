#pragma once

#include <glib-object.h>
#include <utility>
#include <vector>

// Owns one reference to a GObject; released when the holder goes or is reset.
template <typename T> class GObjectRef
{
public:
    GObjectRef() = default;
    // Takes over a reference the caller already owns (for example from a *_new() call).
    static GObjectRef adopt(T* object)
    {
        GObjectRef ref;
        ref.object = object;
        return ref;
    }
    GObjectRef(const GObjectRef&) = delete;
    GObjectRef& operator=(const GObjectRef&) = delete;
    GObjectRef(GObjectRef&& other) noexcept : object(std::exchange(other.object, nullptr)) {}
    GObjectRef& operator=(GObjectRef&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.object, nullptr));
        return *this;
    }
    ~GObjectRef() { reset(); }

    void reset(T* replacement = nullptr)
    {
        T* old = std::exchange(object, replacement);
        if (old)
            g_object_unref(old);
    }
    T* get() const { return object; }
    explicit operator bool() const { return object != nullptr; }

private:
    T* object = nullptr;
};

// Owns signal connections on GObjects; each is disconnected when forgotten or when the holder goes.
// An instance must be dropped (drop()) before it is finalized.
class SignalConnections
{
public:
    SignalConnections() = default;
    SignalConnections(const SignalConnections&) = delete;
    SignalConnections& operator=(const SignalConnections&) = delete;
    ~SignalConnections() { clear(); }

    void connect(gpointer instance, const char* signal, GCallback handler, gpointer data)
    {
        const gulong id = g_signal_connect_data(instance, signal, handler, data, nullptr, GConnectFlags(0));
        if (id)
            connections.push_back({instance, id});
    }
    // Disconnects every handler this holder put on `instance`.
    void drop(gpointer instance)
    {
        for (auto it = connections.begin(); it != connections.end();) {
            if (it->instance == instance) {
                g_signal_handler_disconnect(it->instance, it->id);
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    void clear()
    {
        for (const Connection& c : connections)
            g_signal_handler_disconnect(c.instance, c.id);
        connections.clear();
    }

private:
    struct Connection {
        gpointer instance;
        gulong id;
    };
    std::vector<Connection> connections;
};

// Owns one GLib main-context source; removed when replaced or when the holder goes.
class SourceId
{
public:
    SourceId() = default;
    SourceId(const SourceId&) = delete;
    SourceId& operator=(const SourceId&) = delete;
    ~SourceId() { reset(); }
    void reset(guint replacement = 0)
    {
        if (id)
            g_source_remove(id);
        id = replacement;
    }
    // For a callback that returns G_SOURCE_REMOVE: the source is gone already.
    void forget() { id = 0; }

private:
    guint id = 0;
};
