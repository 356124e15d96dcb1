# 64-bit Arm Linux with Debian's GCC cross compiler (g++-aarch64-linux-gnu) and its arm64
# glibc and libstdc++ in /usr/aarch64-linux-gnu. Programs built here (the C++ tests and the
# test discovery of gtest_discover_tests) run under qemu-user with that runtime.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TESSIK_AARCH64_SYSROOT /usr/aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH ${TESSIK_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TESSIK_QEMU_AARCH64 qemu-aarch64-static)
if(TESSIK_QEMU_AARCH64)
  # qemu's max CPU without pointer authentication, whose architected cipher qemu computes
  # in software; as tools/provision-python's arm64 launchers do.
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${TESSIK_QEMU_AARCH64} -cpu max,pauth=off -L ${TESSIK_AARCH64_SYSROOT})
endif()
