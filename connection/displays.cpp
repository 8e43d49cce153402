// The surfaces of display channels beyond the first monitor's (a guest with several graphics
// devices): each in a block of its own, handed to the window as the first one is.
#include "agent.h"
#include "log.h"
#include "memshare.h"
#include "session_viewer.h"
#include "surface_format.h"

namespace
{

void tell(SpiceAgent* agent, int id, void* pixels, ScreenInitInfo info)
{
    if (agent->viewer)
        agent->viewer->otherSurfaceCreated(id, pixels, info);
}

void retire(SpiceAgent* agent, const SurfaceBlock& block)
{
    if (agent->viewer)
        agent->viewer->blockRetired(block);
    else
        freeSurfaceBlock(block);
}

} // namespace

void otherDisplayCreate(SpiceAgent* agent, SpiceDisplayChannel* channel, int format, int width, int height,
                        int stride, void* imgdata)
{
    OtherSurface& surface = agent->otherSurfaces[channel];
    const SurfaceBlock old = surface.block;
    surface = OtherSurface{};
    surface.id = agent->displayIds.value(channel, 0);
    ScreenInitInfo info{height, width, stride, format == 32 || format == 16 ? format : 0, format};
    info.display = surface.id;
    const SurfaceLayout layout = surfaceLayout(format, width, height, stride);
    int fd = -1;
    void* block = layout.status == SurfaceLayout::Ok ? create_memshare(long(layout.blockSize), &fd) : nullptr;
    if (!block) {
        Logger(ERROR) << "Display channel #" << surface.id << ": no block for surface " << width << "x"
                      << height << " stride " << stride << " format " << format;
        tell(agent, surface.id, nullptr, info);
        retire(agent, old);
        return;
    }
    surface.width = width;
    surface.height = height;
    surface.stride = stride;
    surface.bytesPerPixel = layout.bytesPerPixel;
    surface.imgdata = static_cast<uint8_t*>(imgdata);
    surface.block = SurfaceBlock{fd, static_cast<uint8_t*>(block), layout.blockSize, ++agent->lastSerial};
    info.serial = surface.block.serial;
    info.fd = fd;
    Logger(INFO) << "Display channel #" << surface.id << ": surface " << width << "x" << height;
    tell(agent, surface.id, block, info);
    retire(agent, old);
}

void otherDisplayUpdate(SpiceAgent* agent, SpiceDisplayChannel* channel, int x, int y, int width, int height)
{
    auto it = agent->otherSurfaces.find(channel);
    if (it == agent->otherSurfaces.end() || !it->block.data)
        return;
    Rect rect = clipToSurface(x, y, width, height, it->width, it->height);
    copyToBlock(it->block.data, it->imgdata, it->stride, it->bytesPerPixel, rect);
    if (agent->viewer && rect.width > 0 && rect.height > 0)
        agent->viewer->otherSurfaceChanged(it->id, rect);
}

void otherDisplayGone(SpiceAgent* agent, SpiceDisplayChannel* channel)
{
    auto it = agent->otherSurfaces.find(channel);
    if (it == agent->otherSurfaces.end())
        return;
    const OtherSurface surface = *it;
    agent->otherSurfaces.erase(it);
    ScreenInitInfo none{0, 0, 0, 0, 0};
    none.display = surface.id;
    tell(agent, surface.id, nullptr, none);
    retire(agent, surface.block);
}
