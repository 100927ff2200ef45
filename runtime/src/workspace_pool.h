// Scratch memory for the fast kernels, kept between calls.
//
// A fresh multi-hundred-megabyte block costs its page faults and the kernel's zeroing of
// every page on first touch, about a tenth of a 2048^3 product. So the block of the last
// call is parked here and handed to the next call that fits in it. One block at most is
// kept, and only up to kKeptBytes: memory held between calls stays bounded.
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

    static constexpr size_t kKeptBytes = size_t(1) << 30;

private:
    unsigned char* data_ = nullptr;
    size_t capacity_ = 0;
};

// Frees the parked block, if any (for tests and for callers that want the memory back).
void release_parked_workspace();
// Bytes of the parked block (0 when none).
size_t parked_workspace_bytes();

}  // namespace vexa
