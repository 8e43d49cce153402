#pragma once

#include "session.h"

#include <QString>

struct SurfaceBlock;

// What the library's handlers tell the session; the session turns it into its signals, tests record it.
class SessionViewer
{
public:
    virtual ~SessionViewer() = default;
    virtual void setTitle(const QString& title) = 0;
    // pixels is null when the surface could not be given a block: nothing is to be read any more.
    virtual void screenSettingsChanged(void* pixels, ScreenInitInfo& info) = 0;
    virtual void updateImage(Rect* rect) = 0;
    virtual void clearDisplay() = 0;
    // The main channel closed: the window hides, the program goes on.
    virtual void closeWindow() = 0;
    // The server's mouse mode: server (relative motion, the window holds the pointer) or client.
    virtual void mouseModeChanged(bool server) { (void)server; }
    // Why the connection failed, in words, to show until a picture arrives; visibility unchanged.
    virtual void showConnectionError(const QString& text) { (void)text; }
    // The server refused the password, or asked for one and none was given.
    virtual void passwordRefused() {}
    // The main channel opened.
    virtual void opened() {}
    // Another display channel's surface (null pixels: gone) and its changes.
    virtual void otherSurfaceCreated(int display, void* pixels, ScreenInitInfo& info)
    {
        (void)display, (void)pixels, (void)info;
    }
    virtual void otherSurfaceChanged(int display, Rect& rect) { (void)display, (void)rect; }
    // A block the viewer gets no more updates for; released once nothing reads it (here: at once).
    virtual void blockRetired(const SurfaceBlock& block);
};
