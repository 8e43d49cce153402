#include "memshare.h"

#include "log.h"

#include <sys/mman.h>
#include <unistd.h>

void* create_memshare(long size, int* fd)
{
    // Sealable: a block handed to another process is sealed against shrinking, which would fault
    // the process that reads it.
    int descriptor = memfd_create("sharemem", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd)
        *fd = descriptor;
    if (descriptor == -1) {
        Logger(ERROR) << "open posix shared memory failed";
        return nullptr;
    }
    if (size <= 0 || ftruncate(descriptor, size) != 0) {
        // A block that cannot have its size cannot be mapped either.
        Logger(ERROR) << "mmap failed";
        close(descriptor);
        if (fd)
            *fd = -1;
        return nullptr;
    }
    void* data = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    if (data == MAP_FAILED) {
        Logger(ERROR) << "mmap failed";
        close(descriptor);
        if (fd)
            *fd = -1;
        return nullptr;
    }
    return data;
}

int free_memshare(void* addr, size_t length)
{
    if (!addr)
        return -1;
    return munmap(addr, length);
}
