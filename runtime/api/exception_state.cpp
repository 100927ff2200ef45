// The C++ runtime's per-thread exception state, in storage that exists before the thread
// first needs it.
//
// libvexa links its C++ runtime statically and is loaded at run time, by dlopen. glibc
// then allocates the library's thread-local variables lazily, on a thread's first touch,
// and ends the whole process ("cannot allocate memory for thread-local data") when that
// allocation fails. The runtime's only such variable is the exception state that
// __cxa_throw reads, so a std::bad_alloc thrown on a thread's first call, just when memory
// has run out, would take the process down instead of turning into
// VEXA_ERROR_OUT_OF_MEMORY. Initial-exec storage lives in the static TLS block that every
// thread gets when it is created (the loader reserves room for libraries that need a
// little), so reaching it never allocates.
//
// Defining the two functions here keeps the archive's own definitions out of the link.
// The layout is the one both libstdc++ and libc++abi use on 64-bit ELF targets: the
// caught-exception stack and the count of uncaught exceptions (with room to spare).

namespace {

struct ExceptionGlobals {
    void* caught_exceptions;
    unsigned int uncaught_exceptions;
    void* spare[2];
};

__thread ExceptionGlobals exception_globals __attribute__((tls_model("initial-exec")));

}  // namespace

extern "C" {
void* __cxa_get_globals() noexcept { return &exception_globals; }
void* __cxa_get_globals_fast() noexcept { return &exception_globals; }
}
