# Cross-building Kestrel for 64-bit Windows with Debian's mingw-w64 (posix threads, for std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTREL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTREL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTREL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTREL_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${KESTREL_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KESTREL_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")

# Libraries built for Windows (scripts/windows-deps.sh) come first; build tools stay the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${KESTREL_MINGW_TRIPLET} ${KESTREL_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs carry the compiler's runtime, so wine needs no mingw DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
