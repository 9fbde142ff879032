# Cross-building the Windows programs (64-bit) with Debian's mingw-w64 compilers, the variant
# with POSIX threads (std::thread and std::mutex in the C++ library). Every program is linked
# statically, so that a PC without any runtime installed runs it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QD_MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER ${QD_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER ${QD_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER ${QD_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QD_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
