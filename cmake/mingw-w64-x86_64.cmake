# Cross-build for Windows x64 with Debian's mingw-w64 (the posix thread model, for std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries built for the target (JsonCpp, GoogleTest, libcrypto) live in ZUVELO_WINDOWS_DEPS.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${ZUVELO_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe each: no mingw runtime DLLs to copy next to the programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Test discovery and the tests themselves run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
