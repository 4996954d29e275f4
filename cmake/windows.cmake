# The Windows product: kvt-setup.exe, statically linked. Owned by the win32 window work;
# adapter sources are picked up from src/platform/win32.
file(GLOB KVT_WIN32_SOURCES CONFIGURE_DEPENDS src/platform/win32/*.cc)
add_library(kvt_win32 STATIC ${KVT_WIN32_SOURCES})
target_link_libraries(kvt_win32 PUBLIC kvt_core)
# System libraries of the adapters (WinINet, Winsock 1.1, COM automation, shell).
target_link_libraries(kvt_win32 PUBLIC wininet wsock32 ole32 oleaut32 uuid shell32)

option(KVT_WIN32_TESTS "Build the Win32 adapter tests" OFF)
if(KVT_WIN32_TESTS)
  add_subdirectory(tests/win32)
endif()
add_subdirectory(tools)
