#include "support/workspace_pool.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include "support/platform.h"

namespace vexa {
namespace {

struct Parked {
    std::mutex mutex;
    unsigned char* data = nullptr;
    size_t capacity = 0;
};

Parked& parked() {
    // Never destroyed: a call still running at exit must not find it gone.
    static Parked* p = new Parked;
    return *p;
}

constexpr size_t kHuge = size_t(1) << 21;

// Large blocks come 2 MiB aligned with transparent huge pages requested: with 4 KiB pages
// the page faults alone cost about a third of the residue time.
unsigned char* allocate(size_t& bytes) {
    bytes = std::max<size_t>(bytes, 64);
    void* p;
    if (bytes >= kHuge) {
        bytes = (bytes + kHuge - 1) / kHuge * kHuge;
        p = platform::allocate_aligned(kHuge, bytes);
        platform::advise_huge_pages(p, bytes);
    } else {
        bytes = (bytes + 63) / 64 * 64;
        p = platform::allocate_aligned(64, bytes);
    }
    if (!p) throw std::bad_alloc();
    return static_cast<unsigned char*>(p);
}

}  // namespace

size_t parse_workspace_keep(const char* text, bool* usable) {
    if (usable) *usable = true;
    if (!text || !*text) return kDefaultWorkspaceKeep;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = *text >= '0' && *text <= '9' ? std::strtoull(text, &end, 10) : 0;
    if (!end || errno != 0 || *end != '\0') {
        if (usable) *usable = false;
        return kDefaultWorkspaceKeep;
    }
    return static_cast<size_t>(value);
}

namespace {

struct KeepSetting {
    size_t limit;
    std::string refused;
};

const KeepSetting& keep_setting() {
    // Read once: the environment is not safe to read while another thread may change it.
    static const KeepSetting setting = [] {
        const char* text = std::getenv("VEXA_WORKSPACE_KEEP");
        bool usable = true;
        const size_t limit = parse_workspace_keep(text, &usable);
        return KeepSetting{limit, usable ? std::string() : std::string(text)};
    }();
    return setting;
}

}  // namespace

size_t workspace_keep_limit() { return keep_setting().limit; }

const char* refused_workspace_keep() {
    return keep_setting().refused.empty() ? nullptr : keep_setting().refused.c_str();
}

WorkspaceLease::WorkspaceLease(size_t bytes) {
    Parked& pk = parked();
    unsigned char* stale = nullptr;
    {
        std::lock_guard<std::mutex> lock(pk.mutex);
        if (pk.data && pk.capacity >= bytes) {
            data_ = pk.data;
            capacity_ = pk.capacity;
            pk.data = nullptr;
            pk.capacity = 0;
        } else if (pk.data) {
            // Too small for this call: let it go now rather than hold both.
            stale = pk.data;
            pk.data = nullptr;
            pk.capacity = 0;
        }
    }
    platform::free_aligned(stale);
    if (!data_) {
        capacity_ = bytes;
        data_ = allocate(capacity_);
    }
}

WorkspaceLease::~WorkspaceLease() {
    if (capacity_ <= workspace_keep_limit()) {
        Parked& pk = parked();
        std::lock_guard<std::mutex> lock(pk.mutex);
        // Keep the larger of the two when calls overlapped.
        if (!pk.data || pk.capacity < capacity_) std::swap(pk.data, data_), std::swap(pk.capacity, capacity_);
    }
    platform::free_aligned(data_);
}

void release_parked_workspace() {
    Parked& pk = parked();
    unsigned char* block;
    {
        std::lock_guard<std::mutex> lock(pk.mutex);
        block = pk.data;
        pk.data = nullptr;
        pk.capacity = 0;
    }
    platform::free_aligned(block);
}

size_t parked_workspace_bytes() {
    Parked& pk = parked();
    std::lock_guard<std::mutex> lock(pk.mutex);
    return pk.capacity;
}

}  // namespace vexa
