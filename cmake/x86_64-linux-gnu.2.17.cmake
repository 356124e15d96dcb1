# 64-bit x86 Linux, glibc 2.17 and later (manylinux2014_x86_64).
set(TESSIK_ZIG_TARGET x86_64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig-toolchain.cmake)
