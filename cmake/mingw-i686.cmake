# Cross-compiles for 32-bit Windows with Debian's mingw-w64 (package g++-mingw-w64-i686).
# SDL 1.2 is not in Debian for this target: pass SDL_INCLUDE_DIR and SDL_LIBRARY (the whole link
# line, as `sdl-config --static-libs` prints it) or add its prefix to CMAKE_FIND_ROOT_PATH.
# scripts/build-windows.sh does all of it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KIB_MINGW_TRIPLET i686-w64-mingw32)
# The posix thread model: the program's workers are std::threads, which this compiler's win32
# model lacks. winpthreads is linked in statically with the rest (-static below).
set(CMAKE_C_COMPILER ${KIB_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIB_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KIB_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KIB_MINGW_TRIPLET} ${CMAKE_FIND_ROOT_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained program: the C and C++ runtimes and zlib linked in, no DLL beside it but
# the system's own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)
