# Windows with Debian's MinGW-w64 cross compiler, for the target that
# KIV_MINGW_TRIPLE names (i686-w64-mingw32 or x86_64-w64-mingw32; packages
# g++-mingw-w64-i686 and mingw-w64-i686-dev, or their x86-64 twins). The
# compiler's POSIX-threads flavour is the one whose C++ library has
# std::mutex and std::thread.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT KIV_MINGW_TRIPLE)
  message(FATAL_ERROR "Set KIV_MINGW_TRIPLE, or use one of the toolchain files beside this one")
endif()
if(KIV_MINGW_TRIPLE MATCHES "^x86_64-")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()

set(CMAKE_C_COMPILER ${KIV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KIV_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${KIV_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KIV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Each DLL and program carries its own copy of the compiler's run-time
# libraries, so that it needs nothing but the system's DLLs and the kiv DLLs.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
