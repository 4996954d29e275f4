// Resource identifiers of kvt-setup.exe, shared by the resource script and the window code.
#pragma once

// The window icon (16, 24, 32 and 48 px, 24-bit), drawn by tools/make_icon.py.
#define IDI_KVT_SETUP 1
