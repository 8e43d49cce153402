#pragma once

#include "gobject_ref.h"

#include <cstdint>
#include <spice-client.h>

class SessionViewer;

// The session record: one per process, handed to every SPICE handler as user data.
struct SpiceAgent {
    GObjectRef<SpiceSession> session;
    SpiceDisplayChannel* display = nullptr; // borrowed; cleared when the channel goes
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    uint8_t* imgdata = nullptr; // the display channel's pixels; cleared with the channel
    int32_t format = 0;
    int32_t display_id = 0;
    int32_t shm_fd = -1;
    uint8_t* shm_data = nullptr;
    SpiceInputsChannel* inputs = nullptr; // borrowed; cleared when the channel goes
    SpiceMainChannel* main = nullptr;     // borrowed; cleared when the channel goes
    SessionViewer* viewer = nullptr;      // not owned

    int32_t bytes_per_pixel = 0; // of the current surface; 0 when it cannot be shown
    size_t shm_size = 0;         // bytes mapped at shm_data
};

int connect_spice(SpiceAgent* agent);
int reconnect_spice(SpiceAgent* agent);
void connection_destroy(SpiceSession* session, void* user_data);
void sigpipe_handler(int signum);

// Channel handlers.
void channel_new(SpiceSession* session, SpiceChannel* channel, void* user_data);
void channel_destroy(SpiceSession* session, SpiceChannel* channel, void* user_data);
void on_channel_event(SpiceChannel* channel, SpiceChannelEvent event, void* user_data);

// Surface handlers.
void display_create(SpiceDisplayChannel* channel, int format, int width, int height, int stride, int shmid,
                    void* imgdata, void* user_data);
void display_destroy(SpiceDisplayChannel* channel, void* user_data);
void display_update(SpiceDisplayChannel* channel, int x, int y, int width, int height, void* user_data);

// Releases the current surface block, if any (unmapped and its descriptor closed exactly once).
void release_surface_block(SpiceAgent* agent);

// Forgets every channel and pixel pointer of the current session.
void forget_channels(SpiceAgent* agent);
