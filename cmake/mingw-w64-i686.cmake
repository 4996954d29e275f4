# Cross compilation for 32-bit Windows (x86) with Debian's MinGW-w64: kvt-setup.exe for PCs that
# run a 32-bit Windows (it runs on 64-bit Windows too). The tests run it under Wine 10's WoW64 or,
# where the kernel refuses 32-bit system calls, under an emulated 32-bit Wine (run-tests.sh), and
# check its imports statically (tests/release/run.sh).
set(KVT_MINGW_TARGET i686-w64-mingw32)
set(KVT_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
