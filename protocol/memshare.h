#pragma once

#include <cstddef>

// A shared-memory block (anonymous memory file, mapped shared). Returns the mapping or null;
// *fd receives the descriptor, or -1 when no usable block was made.
void* create_memshare(long size, int* fd);
// Unmaps a block: -1 for a null address, otherwise the result of munmap.
int free_memshare(void* addr, size_t length);
