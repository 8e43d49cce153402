#include "agent.h"
#include "args.h"
#include "input.h"
#include "log.h"
#include "memshare.h"
#include "monitors.h"
#include "session_viewer.h"
#include "surface_format.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <utility>

void freeSurfaceBlock(const SurfaceBlock& block)
{
    if (block.data)
        free_memshare(block.data, block.size);
    if (block.fd >= 0)
        close(block.fd);
}

void SessionViewer::blockRetired(const SurfaceBlock& block)
{
    freeSurfaceBlock(block);
}

void copyToBlock(uint8_t* block, const uint8_t* pixels, int32_t stride, int32_t bytesPerPixel,
                 const Rect& rect)
{
    if (!block || !pixels || bytesPerPixel <= 0 || rect.width <= 0 || rect.height <= 0)
        return;
    const size_t rowBytes = size_t(rect.width) * size_t(bytesPerPixel);
    for (int row = 0; row < rect.height; ++row) {
        size_t offset = size_t(rect.y + row) * size_t(stride) + size_t(rect.x) * size_t(bytesPerPixel);
        std::memcpy(block + offset, pixels + offset, rowBytes);
    }
}

bool isFirstDisplay(const SpiceAgent* agent, SpiceDisplayChannel* channel)
{
    const int id = agent->displayIds.value(channel, 0);
    for (int other : agent->displayIds)
        if (other < id)
            return false;
    return true;
}

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
    none.display = agent->display_id;
    agent->viewer->screenSettingsChanged(nullptr, none);
}

// The block the window read until now goes once the window has the new one (or none).
void retire(SpiceAgent* agent, const SurfaceBlock& block)
{
    if (agent->viewer)
        agent->viewer->blockRetired(block);
    else
        freeSurfaceBlock(block);
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
    if (agent->monitors)
        agent->monitors->setSurface(channel, QSize(width, height));
    if (!isFirstDisplay(agent, channel)) {
        otherDisplayCreate(agent, channel, format, width, height, stride, imgdata);
        return;
    }
    // A reader of the old block (another process, too) sees it whole until it lets go of it.
    const SurfaceBlock old{agent->shm_fd, agent->shm_data, agent->shmSize, agent->shmSerial};
    agent->shm_fd = -1;
    agent->shm_data = nullptr;
    agent->shmSize = 0;
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
        retire(agent, old);
        return;
    }

    int fd = -1;
    void* block = create_memshare(long(layout.blockSize), &fd);
    if (!block) {
        Logger(ERROR) << "create_memshare failed";
        tellSurfaceGone(agent, format);
        retire(agent, old);
        return;
    }
    agent->shm_fd = fd;
    agent->shm_data = static_cast<uint8_t*>(block);
    agent->shmSize = layout.blockSize;
    agent->shmSerial = ++agent->lastSerial;

    ScreenInitInfo info{height, width, stride, agent->format, format};
    info.display = agent->display_id;
    info.serial = agent->shmSerial;
    info.fd = agent->shm_fd;
    info.fresh = std::exchange(agent->freshSurface, false);
    Logger(INFO) << "new display channel, creating window";
    if (agent->viewer)
        agent->viewer->screenSettingsChanged(block, info);
    retire(agent, old);
    if (info.fresh && agent->centerClick)
        clickAt(agent, width / 2, height / 2);
}

void display_destroy(SpiceDisplayChannel* channel, void* user_data)
{
    auto* agent = static_cast<SpiceAgent*>(user_data);
    // The library frees its pixels with the surface; only the block's copy stays readable.
    if (agent && agent->display == channel)
        agent->imgdata = nullptr;
    if (agent && agent->otherSurfaces.contains(channel))
        agent->otherSurfaces[channel].imgdata = nullptr;
}

void display_update(SpiceDisplayChannel* channel, int x, int y, int width, int height, void* user_data)
{
    auto* agent = static_cast<SpiceAgent*>(user_data);
    if (!agent)
        return;
    // Another display channel's rectangles do not describe the first monitor's surface.
    if (channel != agent->display) {
        otherDisplayUpdate(agent, channel, x, y, width, height);
        return;
    }
    Rect rect = clipToSurface(x, y, width, height, agent->width, agent->height);
    if (!agent->shm_data)
        return;
    // A format we cannot read keeps its block black; the viewer still hears of the update.
    copyToBlock(agent->shm_data, agent->imgdata, agent->stride, agent->bytesPerPixel, rect);
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
