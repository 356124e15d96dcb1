# 64-bit Arm Linux, glibc 2.17 and later (manylinux2014_aarch64).
set(TESSIK_ZIG_TARGET aarch64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig-toolchain.cmake)
