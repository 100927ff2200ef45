// What the runtime asks of the operating system, behind one interface: aligned blocks, a
// hint for huge pages, and the number of CPUs this process may run on. Linux, macOS and
// Windows each get their own branch in platform.cpp; nothing else in the runtime names a
// system call.
#pragma once

#include <cstddef>

namespace vexa::platform {

// At least `bytes` bytes aligned to `alignment` (a power of two, at least sizeof(void*)),
// or null. Release with free_aligned and nothing else.
void* allocate_aligned(size_t alignment, size_t bytes);
void free_aligned(void* block);  // null is fine

// Asks for transparent huge pages over a block from allocate_aligned; a no-op where the
// system has no such request.
void advise_huge_pages(void* block, size_t bytes);

// CPUs this process may run on: its affinity mask where the system has one (taskset,
// containers, job objects), else every CPU; at least 1.
int usable_cpu_count();

}  // namespace vexa::platform
