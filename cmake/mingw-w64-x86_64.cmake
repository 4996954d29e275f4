# Cross compilation for 64-bit Windows with Debian's MinGW-w64.
#
# The thread model picks the compiler: "win32" (package g++-mingw-w64-x86-64-win32) for the
# product, whose threads are Windows threads; its C++ runtime needs no winpthreads, which keeps
# that library out of kvt-setup.exe. That runtime has no std::thread or std::mutex.
# "posix" (package g++-mingw-w64-x86-64-posix) for test programs that use std::thread.
set(KVT_MINGW_THREAD_MODEL win32 CACHE STRING "MinGW-w64 thread model of the compiler: win32 or posix")
set_property(CACHE KVT_MINGW_THREAD_MODEL PROPERTY STRINGS win32 posix)
if(NOT KVT_MINGW_THREAD_MODEL MATCHES "^(win32|posix)$")
  message(FATAL_ERROR "KVT_MINGW_THREAD_MODEL must be win32 or posix, not '${KVT_MINGW_THREAD_MODEL}'")
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-${KVT_MINGW_THREAD_MODEL})
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-${KVT_MINGW_THREAD_MODEL})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
