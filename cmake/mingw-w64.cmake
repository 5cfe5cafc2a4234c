# Cross build for 64-bit Windows with Debian's MinGW-w64 (the POSIX thread model, which
# std::thread needs). Use: cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(k419_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${k419_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${k419_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${k419_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${k419_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Self-contained executables: no MinGW runtime DLLs to carry beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The tests run under Wine on this machine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
