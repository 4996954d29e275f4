# Cross compilation for 64-bit Windows (x64) with Debian's MinGW-w64: the build that is run and
# tested end to end under Wine.
set(KVT_MINGW_TARGET x86_64-w64-mingw32)
set(KVT_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
