# Cross-building for arm64 with Debian's aarch64 cross compiler
# (g++-aarch64-linux-gnu) against arm64 libraries installed as a foreign
# architecture (libgtest-dev:arm64, libsystemd-dev:arm64). Tests run the
# arm64 programs under qemu-user-static; tools/arm64-setup installs all of it
# and registers qemu with binfmt_misc, which the tests that start arm64
# programs from scripts need too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static)
# Build tools come from the host; headers and libraries from the arm64
# multiarch directories, which the library architecture above names.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
