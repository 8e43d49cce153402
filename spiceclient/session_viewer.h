#pragma once

#include <QString>
#include <cstdint>

// A new primary surface, lent to the viewer for the duration of the call.
struct ScreenInitInfo {
    int32_t height;
    int32_t width;
    int32_t stride;
    int32_t format;      // the record's format after this surface (32 or 16 once one was accepted)
    int32_t pixelFormat; // the server's own code for this surface: what its pixels really are
};

// One changed rectangle in surface pixels, already clipped to the surface.
struct Rect {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};

// What the session layer needs of the window. The viewer implements it; tests use recorders.
class SessionViewer
{
public:
    virtual ~SessionViewer() = default;
    virtual void setTitle(const QString& title) = 0;
    // pixels is null when the surface could not be given a block: nothing is to be read any more.
    virtual void screenSettingsChanged(void* pixels, ScreenInitInfo& info) = 0;
    virtual void updateImage(Rect* rect) = 0;
    virtual void clearDisplay() = 0;
    // A close request: the window hides, the program goes on.
    virtual void closeWindow() = 0;
    // Why the connection failed, in words, to show until a picture arrives; visibility unchanged.
    virtual void showConnectionError(const QString& text) { (void)text; }
};
