#include "support/platform.h"

#include <cstdlib>
#include <thread>

#if defined(_WIN32)
#include <malloc.h>
#include <windows.h>
#else
#include <dlfcn.h>
#if defined(__linux__)
#include <sched.h>
#include <sys/mman.h>
#endif
#endif

namespace vexa::platform {

void* allocate_aligned(size_t alignment, size_t bytes) {
#if defined(_WIN32)
    // The C runtime has no posix_memalign; _aligned_malloc's blocks need _aligned_free.
    return _aligned_malloc(bytes, alignment);
#else
    // posix_memalign rather than std::aligned_alloc, which macOS offers only from 10.15 and
    // which wants a size that is a multiple of the alignment.
    void* p = nullptr;
    return posix_memalign(&p, alignment, bytes) == 0 ? p : nullptr;
#endif
}

void free_aligned(void* block) {
#if defined(_WIN32)
    _aligned_free(block);
#else
    std::free(block);
#endif
}

void advise_huge_pages(void* block, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (block) madvise(block, bytes, MADV_HUGEPAGE);
#else
    // Windows' large pages need a privilege that ordinary accounts lack; macOS has no hint.
    (void)block, (void)bytes;
#endif
}

#if defined(_WIN32)
void* open_library(const char*, const char*, std::string* why) {
    *why = "this build cannot load libraries at run time on Windows";
    return nullptr;
}
void* library_symbol(void*, const char*) { return nullptr; }
#else
void* open_library(const char* path, const char* name, std::string* why) {
    std::string file;
    if (path) {
        file = path;
    } else {
        Dl_info info{};
        file = ".";
        if (dladdr(reinterpret_cast<void*>(&open_library), &info) && info.dli_fname) {
            file = info.dli_fname;
            const size_t slash = file.rfind('/');
            file = slash == std::string::npos ? "." : file.substr(0, slash);
        }
        file += std::string("/") + name;
    }
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) *why = file + " could not be loaded";
    return handle;
}
void* library_symbol(void* library, const char* symbol) { return dlsym(library, symbol); }
#endif

int usable_cpu_count() {
#if defined(__linux__)
    // Respect an affinity mask: threads beyond it only contend.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
#elif defined(_WIN32)
    // The mask of the process's processor group: the CPUs its new threads start on.
    DWORD_PTR process_mask = 0, system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) {
        const int count = __builtin_popcountll(static_cast<unsigned long long>(process_mask));
        if (count > 0) return count;
    }
#endif
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? static_cast<int>(count) : 1;
}

}  // namespace vexa::platform
