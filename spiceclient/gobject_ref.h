#pragma once

#include <glib-object.h>
#include <utility>

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
