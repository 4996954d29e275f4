# Compiler and linker flags of the Windows build. kvt-setup.exe is what every user downloads
# first, so a release build is made small; and one commit must always give the same bytes, so
# neither the folders of the build nor the time of the build get into the programs.

# The compiler is chosen once, when a build folder is first configured; a folder made with the
# other thread model's compiler would quietly keep it (and a larger kvt-setup.exe).
if(DEFINED KVT_MINGW_THREAD_MODEL AND NOT CMAKE_CXX_COMPILER MATCHES "-${KVT_MINGW_THREAD_MODEL}$")
  message(FATAL_ERROR "${CMAKE_BINARY_DIR} was configured with ${CMAKE_CXX_COMPILER}, but the "
    "toolchain now asks for the ${KVT_MINGW_THREAD_MODEL} thread model. Delete that folder (or "
    "configure with --fresh) and configure again.")
endif()

# Small code: optimise for size, one section per function and object so that the linker drops
# what nothing references, and link-time optimisation across the whole program.
set(KVT_SIZE_CONFIGS "$<CONFIG:Release,MinSizeRel>")
add_compile_options("$<${KVT_SIZE_CONFIGS}:-Os;-ffunction-sections;-fdata-sections>")
add_link_options("$<${KVT_SIZE_CONFIGS}:-Os;-Wl,--gc-sections>")
# All of a program in one LTO partition: with several, GCC 12 for MinGW stops with an internal
# compiler error (in binds_to_current_def_p) on the larger programs, such as the Win32 adapter
# tests.
add_link_options("$<${KVT_SIZE_CONFIGS}:-flto-partition=one>")
if(NOT DEFINED CMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE)
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION_RELEASE ON)
endif()
if(NOT DEFINED CMAKE_INTERPROCEDURAL_OPTIMIZATION_MINSIZEREL)
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION_MINSIZEREL ON)
endif()

# Reproducible: no link time in the PE header (the field stays 0). The stripped release build
# holds no paths; in other builds the source and build folders are written as fixed names where
# a path reaches the object code (assertion messages, debug information). The later mapping
# wins for a build folder inside the source folder.
add_link_options(-Wl,--no-insert-timestamp)
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=src
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
