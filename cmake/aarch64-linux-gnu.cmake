# Cross build for 64-bit Arm Linux with Debian's cross toolchain
# (crossbuild-essential-arm64) and the :arm64 development packages installed
# through multiarch, so the target's headers and libraries live in the host's
# /usr (/usr/include, /usr/lib/aarch64-linux-gnu) and no sysroot is needed.
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Package configs are searched in lib/<arch>/cmake: without this, CMake could
# pick the host's (x86_64) Boost, spdlog, fmt or GTest configs.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# gtest_discover_tests runs the unit test binary at build time and ctest runs
# it again: both go through user-mode emulation. No -L: qemu then uses the
# arm64 loader and libc that libc6:arm64 installs under /lib, which match the
# libraries the binary was linked against.
find_program(QEMU_AARCH64 qemu-aarch64)
if(QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64})
endif()
