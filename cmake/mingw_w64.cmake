# Toolchain for the Windows build: cross-compiling on Debian with mingw-w64.
#
#   cmake -S . -B build/windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw_w64.cmake
#
# Uses the "-posix" compilers (POSIX thread model, so std::thread, std::mutex
# and friends work) and links libgcc, libstdc++ and winpthread statically: the
# programs need no DLL beyond those Windows ships. scripts/setup.sh windows
# installs the compilers and builds SQLite for Windows into .deps/sqlite-mingw.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CHIMEWELL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CHIMEWELL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CHIMEWELL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CHIMEWELL_MINGW_TRIPLE}-windres)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# SQLite built for Windows by scripts/setup.sh; find_package(SQLite3) and
# find_library(sqlite3) look here first.
set(CHIMEWELL_SQLITE_WIN32_ROOT "${CMAKE_CURRENT_LIST_DIR}/../.deps/sqlite-mingw"
    CACHE PATH "Prefix of SQLite built for Windows (include/sqlite3.h, lib/libsqlite3.a)")
get_filename_component(CHIMEWELL_SQLITE_WIN32_ROOT "${CHIMEWELL_SQLITE_WIN32_ROOT}" ABSOLUTE)

# Libraries and headers come only from the target's roots; programs run
# during the build come from the build machine.
set(CMAKE_FIND_ROOT_PATH "${CHIMEWELL_SQLITE_WIN32_ROOT}" /usr/${CHIMEWELL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
