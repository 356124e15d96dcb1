# zig is the executable TESSIK_ZIG names (a -D option or the environment),
# else the first `zig` on PATH; the ziglang package of tools/tool-venv holds it.
if(NOT TESSIK_ZIG AND DEFINED ENV{TESSIK_ZIG})
  set(TESSIK_ZIG "$ENV{TESSIK_ZIG}")
endif()
if(NOT TESSIK_ZIG)
  find_program(TESSIK_ZIG zig)
endif()
if(NOT TESSIK_ZIG)
  message(FATAL_ERROR "zig not found: set TESSIK_ZIG to the zig executable (tools/tool-venv installs ziglang)")
endif()
set(TESSIK_ZIG "${TESSIK_ZIG}" CACHE FILEPATH "zig executable of the cross toolchain")
# try_compile projects read the toolchain file again and need the same zig.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSIK_ZIG)
