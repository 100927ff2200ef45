# Cross-compiling for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu, against the
# multiarch arm64 libraries (libgtest-dev:arm64, libgmp-dev:arm64) under /usr/lib/aarch64-linux-gnu.
# Tests run through qemu-aarch64 with the multiarch arm64 loader and libc from /; pick the
# emulated CPU with QEMU_CPU (for example max, or cortex-a72 for a core without dotprod).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries and packages of the target only; programs (cmake, ninja) of the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The cross package's own loader under -L /usr/aarch64-linux-gnu hung threaded tests; the
# multiarch libc at / does not.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
