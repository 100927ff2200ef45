// Scratch memory for the fast kernels, kept between calls.
//
// A fresh multi-hundred-megabyte block costs its page faults and the kernel's zeroing of
// every page on first touch, about a tenth of a 2048^3 product. So the block of the last
// call is parked here and handed to the next call that fits in it. One block at most is
// kept, and only up to workspace_keep_limit() bytes: memory held between calls stays
// bounded, and vexa_release_workspace() hands it back at once.
#pragma once

#include <cstddef>

namespace vexa {

class WorkspaceLease {
public:
    // Uninitialised memory of at least `bytes` bytes, 64-byte aligned; throws
    // std::bad_alloc when none can be had.
    explicit WorkspaceLease(size_t bytes);
    ~WorkspaceLease();  // parks the block for the next call, or frees it
    WorkspaceLease(const WorkspaceLease&) = delete;
    WorkspaceLease& operator=(const WorkspaceLease&) = delete;
    unsigned char* get() const { return data_; }

private:
    unsigned char* data_ = nullptr;
    size_t capacity_ = 0;
};

// The largest block parked between calls: VEXA_WORKSPACE_KEEP (bytes) when set, read once.
size_t workspace_keep_limit();
// The default keeps the blocks of small and middling products, whose first-touch cost is
// the largest share of their time, and lets the large ones go back to the system as BLAS
// libraries' buffers do (bench/bench_workspace_keep.py measures what keeping buys).
constexpr size_t kDefaultWorkspaceKeep = size_t(64) << 20;
// VEXA_WORKSPACE_KEEP's value: a decimal number of bytes (0 keeps nothing). Null or empty
// gives the default; anything else gives the default too and, when `usable` is given,
// clears *usable.
size_t parse_workspace_keep(const char* text, bool* usable = nullptr);
// The VEXA_WORKSPACE_KEEP that was set but is no number of bytes, or null.
const char* refused_workspace_keep();

// Frees the parked block, if any (vexa_release_workspace, and tests).
void release_parked_workspace();
// Bytes of the parked block (0 when none).
size_t parked_workspace_bytes();

}  // namespace vexa
