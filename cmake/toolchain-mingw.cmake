# Windows builds on a Debian host: MinGW-w64's g++ with the posix thread model (the win32
# model has no std::thread), the target's libraries from the MinGW tree and from
# build/deps/<triple> (GoogleTest and LZO, built from Debian's sources for the target by
# scripts/target-deps.sh on the first configure), and Wine to run what was built.
# Included by toolchain-mingw64.cmake and toolchain-mingw32.cmake with YR_MINGW_TRIPLE set.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${YR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${YR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${YR_MINGW_TRIPLE}-windres)

get_filename_component(YR_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(YR_TARGET_DEPS "${YR_SOURCE_ROOT}/build/deps/${YR_MINGW_TRIPLE}")
# Try-compiles run this file again in scratch directories: build the target's libraries
# only once, from the real configure.
if(NOT EXISTS "${YR_TARGET_DEPS}/.complete" AND NOT CMAKE_PROJECT_NAME STREQUAL "CMAKE_TRY_COMPILE")
  execute_process(COMMAND "${YR_SOURCE_ROOT}/scripts/target-deps.sh" ${YR_MINGW_TRIPLE}
                  RESULT_VARIABLE deps_result)
  if(NOT deps_result EQUAL 0)
    message(FATAL_ERROR "scripts/target-deps.sh ${YR_MINGW_TRIPLE} failed")
  endif()
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${YR_MINGW_TRIPLE} "${YR_TARGET_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(GTest_DIR "${YR_TARGET_DEPS}/lib/cmake/GTest" CACHE PATH "GoogleTest built for the target")

# pkg-config sees only the target's package files.
set(ENV{PKG_CONFIG_LIBDIR} "${YR_TARGET_DEPS}/lib/pkgconfig:/usr/${YR_MINGW_TRIPLE}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Wine's debug-information reader and lldb read DWARF 4, not gcc 12's default DWARF 5.
set(CMAKE_C_FLAGS_INIT "-gdwarf-4")
set(CMAKE_CXX_FLAGS_INIT "-gdwarf-4")

set(CMAKE_CROSSCOMPILING_EMULATOR "${YR_SOURCE_ROOT}/scripts/wine-run;${YR_MINGW_TRIPLE}")
