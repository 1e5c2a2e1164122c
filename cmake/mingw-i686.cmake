# Cross build for 32-bit Windows with Debian's MinGW-w64 i686 compilers.
#
# The -posix compilers are used on purpose: the -win32 thread model has no
# std::mutex. Everything is linked statically (libgcc, libstdc++,
# libwinpthread, zlib), so Tabulon.qdx and the test programs import nothing
# but system DLLs. Doubles are computed in SSE2 registers, as on x86-64, so
# that double arithmetic gives the Linux build's results whatever precision
# the host leaves in the x87 unit.
#
# Packages: g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix libz-mingw-w64-dev
# (and wine, wine32:i386 to run the tests; see .ci/windows.sh).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TABULON_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TABULON_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TABULON_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TABULON_MINGW_TRIPLET}-windres)

# Headers and libraries come from the MinGW sysroot only, never from the
# build machine; programs (the build tools) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TABULON_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libz.a from libz-mingw-w64-dev, not the import library of zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)

set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine (the preset names a prefix inside the build
# directory; this is the fallback for a plain -DCMAKE_TOOLCHAIN_FILE build).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix")
endif()
