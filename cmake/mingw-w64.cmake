# Cross-compiles for 64-bit Windows with Debian's mingw-w64 toolchain and
# runs the results under Wine (scripts/install-deps --windows installs both).
#
# The posix-thread variant of the compilers is used: its winpthreads gives
# std::thread's primitives and a recursive mutex with a time-out. libgcc,
# libstdc++ and winpthreads are linked statically, so a program or DLL built
# here needs nothing beside it but system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELOX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELOX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELOX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PELOX_MINGW_TRIPLE}-windres)

# Libraries and headers come from the mingw-w64 sysroot (zlib from
# libz-mingw-w64-dev) and from what the build itself makes; programs such as
# soapcpp2 still come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${PELOX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
# Debian's mingw zlib comes as both libz.a and an import library for
# zlib1.dll; take the static one, so nothing needs zlib1.dll beside it.
set(ZLIB_USE_STATIC_LIBS ON)

# Wine runs the cross-built programs (tests, try_run): in a Wine prefix of
# the build tree's own, never the user's ~/.wine, with Wine's debug chatter
# off and without the Mono and Gecko installers it would otherwise try to
# download on first start.
find_program(PELOX_WINE NAMES wine wine64 wine-stable)
if(NOT PELOX_WINE)
  message(FATAL_ERROR "Wine is not installed (scripts/install-deps --windows)")
endif()
if(NOT DEFINED PELOX_WINEPREFIX)
  set(PELOX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the build's Windows programs run in")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
  ${CMAKE_COMMAND} -E env
    WINEPREFIX=${PELOX_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
    ${PELOX_WINE})
