# Cross compilation for Windows with Debian's MinGW-w64; included by the toolchain file of each
# target (mingw-w64-x86_64.cmake, mingw-w64-i686.cmake), which sets KVT_MINGW_TARGET (the GNU
# target triplet, the prefix of every tool) and KVT_MINGW_PROCESSOR first.
#
# The thread model picks the compiler: "win32" (packages g++-mingw-w64-x86-64-win32 and
# g++-mingw-w64-i686-win32) for the product, whose threads are Windows threads; its C++ runtime
# needs no winpthreads, which keeps that library out of kvt-setup.exe. That runtime has no
# std::thread or std::mutex. "posix" (g++-mingw-w64-x86-64-posix, g++-mingw-w64-i686-posix) for
# test programs that use std::thread.
set(KVT_MINGW_THREAD_MODEL win32 CACHE STRING "MinGW-w64 thread model of the compiler: win32 or posix")
set_property(CACHE KVT_MINGW_THREAD_MODEL PROPERTY STRINGS win32 posix)
if(NOT KVT_MINGW_THREAD_MODEL MATCHES "^(win32|posix)$")
  message(FATAL_ERROR "KVT_MINGW_THREAD_MODEL must be win32 or posix, not '${KVT_MINGW_THREAD_MODEL}'")
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KVT_MINGW_PROCESSOR})
set(CMAKE_C_COMPILER ${KVT_MINGW_TARGET}-gcc-${KVT_MINGW_THREAD_MODEL})
set(CMAKE_CXX_COMPILER ${KVT_MINGW_TARGET}-g++-${KVT_MINGW_THREAD_MODEL})
set(CMAKE_RC_COMPILER ${KVT_MINGW_TARGET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KVT_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
