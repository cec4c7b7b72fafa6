# Toolchain for Windows, cross-compiled with mingw-w64 for the target triplet that the preset
# names in SHRINK_MINGW_TRIPLET: i686-w64-mingw32 (the release) or x86_64-w64-mingw32.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SHRINK_MINGW_TRIPLET)
if(NOT SHRINK_MINGW_TRIPLET MATCHES "^(i686|x86_64)-w64-mingw32$")
  message(FATAL_ERROR "SHRINK_MINGW_TRIPLET must be i686-w64-mingw32 or x86_64-w64-mingw32")
endif()
string(REGEX REPLACE "-.*" "" SHRINK_MINGW_ARCH ${SHRINK_MINGW_TRIPLET})
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${SHRINK_MINGW_ARCH})
# The posix-threads compilers: GoogleTest needs std::mutex. Linked statically, the tool still
# imports nothing but system DLLs.
set(CMAKE_C_COMPILER ${SHRINK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SHRINK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${SHRINK_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${SHRINK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Copied into a guest on its own: no runtime DLL may be needed beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
