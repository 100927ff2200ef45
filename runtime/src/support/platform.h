// What the runtime asks of the operating system, behind one interface: aligned blocks, a
// hint for huge pages, and the number of CPUs this process may run on. Linux, macOS and
// Windows each get their own branch in platform.cpp; nothing else in the runtime names a
// system call.
#pragma once

#include <cstddef>
#include <string>

namespace vexa::platform {

// At least `bytes` bytes aligned to `alignment` (a power of two, at least sizeof(void*)),
// or null. Release with free_aligned and nothing else.
void* allocate_aligned(size_t alignment, size_t bytes);
void free_aligned(void* block);  // null is fine

// Asks for transparent huge pages over a block from allocate_aligned; a no-op where the
// system has no such request.
void advise_huge_pages(void* block, size_t bytes);

// The shared library `path` (or, when `path` is null, the file `name` in the folder of the
// library or program this code is linked into), opened with its symbols kept to itself:
// its handle, or null with the reason in *why. Never closed. Where the system has no
// dlopen, always null.
void* open_library(const char* path, const char* name, std::string* why);
// A symbol of a library from open_library, or null.
void* library_symbol(void* library, const char* symbol);

// CPUs this process may run on: its affinity mask where the system has one (taskset,
// containers, job objects), else every CPU; at least 1.
int usable_cpu_count();

}  // namespace vexa::platform
