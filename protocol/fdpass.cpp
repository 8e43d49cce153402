#include "fdpass.h"

#include "log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace
{

// sun_path keeps one byte for the terminator.
constexpr size_t maxSocketPath = sizeof(sockaddr_un::sun_path) - 1;

// One data segment and room for `count` descriptors, laid out the same for sending and receiving.
struct DescriptorMessage {
    DescriptorMessage(int count, void* data, int length)
        // operator new aligns the vector's storage well enough for cmsghdr.
        : control(CMSG_SPACE(sizeof(int) * size_t(count)), 0), segment{data, size_t(length)}
    {
        header.msg_iov = &segment;
        header.msg_iovlen = 1;
        header.msg_control = control.data();
        header.msg_controllen = control.size();
    }
    DescriptorMessage(const DescriptorMessage&) = delete;
    DescriptorMessage& operator=(const DescriptorMessage&) = delete;

    std::vector<unsigned char> control;
    iovec segment;
    msghdr header{};
};

} // namespace

int setnoblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1) {
        perror("fcntl(F_GETFL)");
        return -1;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        perror("fcntl(F_SETFL)");
        return -1;
    }
    return 0;
}

int send_fd(int sock, int* fds, int count, void* data, int length)
{
    if (!fds || count <= 0)
        return -1;

    DescriptorMessage outgoing(count, data, length);
    msghdr& message = outgoing.header;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int) * size_t(count));
    std::memcpy(CMSG_DATA(header), fds, sizeof(int) * size_t(count));

    if (sendmsg(sock, &message, 0) == -1) {
        Logger(ERROR) << "failed to send message";
        return -1;
    }
    return 0;
}

int recv_fd(int sock, int* fds, int count, void* data, int length)
{
    if (!fds || count <= 0)
        return -1;

    DescriptorMessage incoming(count, data, length);
    msghdr& message = incoming.header;
    if (recvmsg(sock, &message, MSG_CMSG_CLOEXEC) == -1) {
        Logger(ERROR) << "failed to receive message";
        return -1;
    }

    // Every descriptor the kernel installed is ours now, whatever else the message holds.
    std::vector<int> arrived;
    bool foreign = false;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) {
            foreign = true;
            continue;
        }
        size_t n = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const unsigned char* payload = CMSG_DATA(header);
        for (size_t i = 0; i < n; ++i) {
            int fd;
            std::memcpy(&fd, payload + i * sizeof(int), sizeof fd);
            arrived.push_back(fd);
        }
    }

    const char* refusal = nullptr;
    if (message.msg_flags & MSG_CTRUNC)
        refusal = "received descriptors were truncated";
    else if (foreign)
        refusal = "received unexpected control message";
    else if (arrived.empty())
        refusal = "received message without descriptors";
    else if (arrived.size() != size_t(count))
        // Too few, or one too many: an odd count leaves alignment padding the kernel fills too.
        refusal = "received wrong number of descriptors";

    if (refusal) {
        for (int fd : arrived)
            close(fd);
        Logger(ERROR) << refusal;
        return -1;
    }

    std::copy(arrived.begin(), arrived.end(), fds);
    return 0;
}

int connect_unixsocket(const char* path)
{
    if (!path) {
        Logger(ERROR) << "socket path missing";
        return -1;
    }
    // A longer path would have to be cut short and might reach some other socket.
    if (std::strlen(path) > maxSocketPath) {
        Logger(ERROR) << "socket path too long";
        return -1;
    }

    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    if (sock == -1) {
        Logger(ERROR) << "create socket failed";
        return -1;
    }

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, std::strlen(path) + 1);
    if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == -1) {
        Logger(ERROR) << "connect error";
        close(sock);
        return -1;
    }
    return sock;
}

int listen_unixsocket(const char* path)
{
    if (!path) {
        Logger(ERROR) << "socket path missing";
        return -1;
    }

    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    if (sock == -1) {
        Logger(ERROR) << "create socket failed";
        return -1;
    }

    // A socket file left by an earlier run would make bind fail.
    unlink(path);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, std::min(std::strlen(path), maxSocketPath)); // zero-filled above
    if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == -1) {
        Logger(ERROR) << "bind error";
        close(sock);
        return -1;
    }
    if (listen(sock, 5) == -1) {
        Logger(ERROR) << "listen error";
        close(sock);
        return -1;
    }
    return sock;
}

void* get_memshare(size_t length, int fd)
{
    void* addr = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
        Logger(ERROR) << "mmap failed";
        return nullptr;
    }
    return addr;
}
