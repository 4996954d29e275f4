# The Windows product: kvt-setup.exe, statically linked. Owned by the win32 window work;
# adapter sources are picked up from src/platform/win32.
file(GLOB KVT_WIN32_SOURCES CONFIGURE_DEPENDS src/platform/win32/*.cc)
add_library(kvt_win32 STATIC ${KVT_WIN32_SOURCES})
target_link_libraries(kvt_win32 PUBLIC kvt_core)
