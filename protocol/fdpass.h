#pragma once

#include <cstddef>

// Adds O_NONBLOCK to the descriptor's status flags, keeping the others. 0 or -1.
int setnoblocking(int fd);

// Sends `length` bytes of `data` together with `count` descriptors in one message.
// 0 once the message is accepted by the kernel (even if only part of the data went), else -1.
int send_fd(int sock, int* fds, int count, void* data, int length);
// Receives one message carrying exactly `count` descriptors into `fds`, its data into `data`.
// Any other message is refused with -1, and whatever descriptors it carried are closed.
int recv_fd(int sock, int* fds, int count, void* data, int length);

// Stream socket connected to the Unix socket at `path`, or -1.
int connect_unixsocket(const char* path);
// Stream socket listening at `path` (anything already there is removed first), or -1.
// Only the first 107 bytes of a longer path are used for the address.
int listen_unixsocket(const char* path);

// Read-only view of a block shared by another process (see create_memshare), or null.
// Released with free_memshare.
void* get_memshare(size_t length, int fd);
