# Cross toolchain on zig's clang for the target TESSIK_ZIG_TARGET (set by the
# per-target file beside this one, aarch64-linux-gnu.2.17.cmake). zig
# links against the symbol set of the glibc named in the target and links its
# own libc++ and libc++abi statically, so the module needs nothing from the
# system beyond that glibc: what manylinux2014 (glibc 2.17) asks for.
include(${CMAKE_CURRENT_LIST_DIR}/find-zig.cmake)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSIK_ZIG_TARGET)

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${TESSIK_ZIG_TARGET}")

# An explicit target keeps the CPU at the architecture's baseline (x86-64,
# armv8-a); without one zig would tune for the build machine.
set(CMAKE_C_COMPILER "${TESSIK_ZIG}" cc -target ${TESSIK_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${TESSIK_ZIG}" c++ -target ${TESSIK_ZIG_TARGET})

# Match GCC's optimised code: zig keeps frame pointers and debug information
# by default and lowers -O3 to clang's -O2; -Xclang passes -O3 on after it.
# libc++ declares its std::string members extern templates, compiled once in
# the library, so clang could not inline the small appends of the hot loops
# (escape-heavy strings ran 14% slower than with GCC and libstdc++, 8% with
# the two options that follow, as measured by bench/compare_builds.py).
foreach(lang C CXX)
  set(CMAKE_${lang}_FLAGS_INIT "-g0")
  set(CMAKE_${lang}_FLAGS_RELEASE_INIT
      "-fomit-frame-pointer -Xclang -O3 -D_LIBCPP_DISABLE_EXTERN_TEMPLATE -mllvm -inline-threshold=1000")
  set(CMAKE_${lang}_FLAGS_RELWITHDEBINFO_INIT "-fomit-frame-pointer")
  set(CMAKE_${lang}_FLAGS_MINSIZEREL_INIT "-fomit-frame-pointer")
endforeach()
# A release module is linked stripped, as scikit-build-core would leave it;
# no strip of the build machine has to understand the target.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_RELEASE_INIT "-s")
endforeach()
# zig builds its libc++ for each set of code flags it is linked with (about a
# minute each, then cached); CMake's checks link with the release flags too,
# so a cold build makes one libc++ per target instead of two.
set(CMAKE_TRY_COMPILE_CONFIGURATION Release)

# zig's runtime defines __cpu_model as a stub that reports no CPU feature,
# so an x86 module built here would never pick a vector kernel; the x86-64
# wheels are compiled by GCC instead (x86_64-linux-gnu.2.17.cmake).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  message(FATAL_ERROR "zig-toolchain.cmake builds for aarch64; x86-64 uses x86_64-linux-gnu.2.17.cmake")
endif()

# The archiver is zig's llvm-ar, which also writes the symbol index.
set(CMAKE_AR "${TESSIK_ZIG}" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "" CACHE FILEPATH "" FORCE)
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> ar qcs <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> ar qs <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "")
endforeach()

