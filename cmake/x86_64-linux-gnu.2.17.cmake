# 64-bit x86 Linux, glibc 2.17 and later (manylinux2014_x86_64).
#
# Compiled by the machine's GCC with the options of a local build, so the
# wheel runs the code that was measured, and linked by zig against glibc
# 2.17's symbol set. GCC's runtime cannot be linked for that glibc as it
# ships (libstdc++.so needs GLIBCXX_3.4.29 and glibc 2.34; libgcc_eh.a calls
# _dl_find_object of glibc 2.35), so the module takes what it uses of GCC's
# libstdc++.a and libgcc.a statically, with zig's libunwind for unwinding and
# glibc-2.17-compat.c for the one glibc variable libstdc++.a reads. The code
# of zig's own clang ran up to 8% slower on some payloads than GCC's.
include(${CMAKE_CURRENT_LIST_DIR}/find-zig.cmake)

find_program(TESSIK_GXX NAMES g++ REQUIRED)
set(CMAKE_CXX_COMPILER "${TESSIK_GXX}")
execute_process(COMMAND "${TESSIK_GXX}" -print-file-name=libstdc++.a
  OUTPUT_VARIABLE TESSIK_LIBSTDCXX OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND "${TESSIK_GXX}" -print-libgcc-file-name
  OUTPUT_VARIABLE TESSIK_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
foreach(lib TESSIK_LIBSTDCXX TESSIK_LIBGCC)
  if(NOT IS_ABSOLUTE "${${lib}}" OR NOT EXISTS "${${lib}}")
    message(FATAL_ERROR "${TESSIK_GXX} has no static runtime (${lib}: '${${lib}}'); the x86-64 wheels need GCC's libstdc++.a and libgcc.a")
  endif()
endforeach()

# Only the module is linked this way; CMake's checks link executables for
# the build machine as usual. libgcc.a comes before zig's compiler runtime,
# whose __cpu_model is a stub and whose mem* functions would replace glibc's.
set(CMAKE_CXX_CREATE_SHARED_MODULE
  "\"${TESSIK_ZIG}\" c++ -target x86_64-linux-gnu.2.17 -nostdlib++ -shared <LINK_FLAGS> -o <TARGET> <OBJECTS> <LINK_LIBRARIES> -O2 -x c \"${CMAKE_CURRENT_LIST_DIR}/glibc-2.17-compat.c\" -x none \"${TESSIK_LIBSTDCXX}\" \"${TESSIK_LIBGCC}\" -lunwind")
# A release module is linked stripped, as scikit-build-core would leave it.
set(CMAKE_MODULE_LINKER_FLAGS_RELEASE_INIT "-s")
