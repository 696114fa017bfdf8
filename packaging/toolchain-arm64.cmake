# Cross build for 64-bit ARM with Debian's aarch64-linux-gnu toolchain.
# Libraries for the target (libgtest-dev:arm64 and the like) come from
# Debian's multiarch directories; test binaries run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Lets CMake itself (GoogleTest's test discovery) run what it built.
find_program(ZARVEL_QEMU_AARCH64 qemu-aarch64-static qemu-aarch64)
if(ZARVEL_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZARVEL_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
endif()
