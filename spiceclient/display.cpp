#include "agent.h"
#include "args.h"
#include "input.h"
#include "log.h"
#include "memshare.h"
#include "session_viewer.h"
#include "surface_format.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <utility>

void releaseSurfaceBlock(SpiceAgent* agent)
{
    if (agent->shm_data) {
        free_memshare(agent->shm_data, agent->shmSize);
        agent->shm_data = nullptr;
        agent->shmSize = 0;
    }
    if (agent->shm_fd >= 0) {
        close(agent->shm_fd);
        agent->shm_fd = -1;
    }
}

namespace
{

void tellSurfaceGone(SpiceAgent* agent, int format)
{
    if (!agent->viewer)
        return;
    ScreenInitInfo none{0, 0, 0, agent->format, format};
    agent->viewer->screenSettingsChanged(nullptr, none);
}

void clickAt(SpiceAgent* agent, int x, int y)
{
    KM_EVENT event{};
    event.x = x;
    event.y = y;
    event.type = 5; // QEvent::MouseMove
    event.buttons = 0;
    syncKeyMouse(event, agent);
    event.type = 2; // QEvent::MouseButtonPress
    event.buttons = 1;
    syncKeyMouse(event, agent);
    event.type = 3; // QEvent::MouseButtonRelease
    event.buttons = 1;
    syncKeyMouse(event, agent);
}

} // namespace

void display_create(SpiceDisplayChannel* channel, int format, int width, int height, int stride, int,
                    void* imgdata, void* user_data)
{
    auto* agent = static_cast<SpiceAgent*>(user_data);
    if (!agent) {
        Logger(ERROR) << "display_create function user_data is NULL";
        return;
    }
    releaseSurfaceBlock(agent);
    agent->display = channel;
    // Positions name the display they are on: the one whose surface is shown.
    agent->display_id = agent->displayIds.value(channel, 0);
    if (format == 32 || format == 16)
        agent->format = format;
    agent->width = width;
    agent->height = height;
    agent->stride = stride;
    agent->imgdata = static_cast<uint8_t*>(imgdata);

    SurfaceLayout layout = surfaceLayout(format, width, height, stride);
    agent->bytesPerPixel = layout.bytesPerPixel;
    if (layout.status != SurfaceLayout::Ok) {
        Logger(ERROR) << "Refusing surface " << width << "x" << height << " stride " << stride << " format "
                      << format << ": " << surfaceLayoutError(layout.status);
        agent->imgdata = nullptr;
        tellSurfaceGone(agent, format);
        return;
    }

    int fd = -1;
    void* block = create_memshare(long(layout.blockSize), &fd);
    if (!block) {
        Logger(ERROR) << "create_memshare failed";
        tellSurfaceGone(agent, format);
        return;
    }
    agent->shm_fd = fd;
    agent->shm_data = static_cast<uint8_t*>(block);
    agent->shmSize = layout.blockSize;

    ScreenInitInfo info{height, width, stride, agent->format, format};
    Logger(INFO) << "new display channel, creating window";
    if (agent->viewer)
        agent->viewer->screenSettingsChanged(block, info);
    clickAt(agent, width / 2, height / 2);
}

void display_destroy(SpiceDisplayChannel* channel, void* user_data)
{
    auto* agent = static_cast<SpiceAgent*>(user_data);
    // The library frees its pixels with the surface; only the block's copy stays readable.
    if (agent && agent->display == channel)
        agent->imgdata = nullptr;
}

void display_update(SpiceDisplayChannel* channel, int x, int y, int width, int height, void* user_data)
{
    auto* agent = static_cast<SpiceAgent*>(user_data);
    if (!agent)
        return;
    // Another display channel's rectangles do not describe the current surface.
    if (channel != agent->display)
        return;
    Rect rect = clipToSurface(x, y, width, height, agent->width, agent->height);
    if (!agent->shm_data)
        return;
    // A format we cannot read keeps its block black; the viewer still hears of the update.
    if (agent->imgdata && agent->bytesPerPixel > 0 && rect.width > 0 && rect.height > 0) {
        const size_t rowBytes = size_t(rect.width) * size_t(agent->bytesPerPixel);
        for (int row = 0; row < rect.height; ++row) {
            size_t offset =
                size_t(rect.y + row) * size_t(agent->stride) + size_t(rect.x) * size_t(agent->bytesPerPixel);
            std::memcpy(agent->shm_data + offset, agent->imgdata + offset, rowBytes);
        }
    }
    if (agent->viewer)
        agent->viewer->updateImage(&rect);
    // The command-line key goes out with the first picture, once per process; it waits there for
    // the inputs channel if that has not opened yet.
    if (!agent->updated) {
        agent->updated = true;
        allowSound(agent);
        if (std::exchange(agent->startupKeyPending, false))
            injectQtKey(agent, QString::fromUtf8(get_args()->key));
    }
}
