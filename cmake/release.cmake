# What a release ships, and the packages CPack makes of it:
#   Windows  chimewell-<version>-win64.zip   chimewell.exe, chimectl.exe,
#            templates\base.db, README.md, licenses\
#   POSIX    chimewell-<version>-<system>.tar.gz   bin/chimewell, bin/chimectl,
#            bin/templates/base.db, README.md, licenses/
# The service finds its template in templates/ beside its own executable, so
# the template goes where the programs go.

if(WIN32)
  # A Windows program lives in a folder of its own: everything at the top.
  set(CHIMEWELL_INSTALL_BINDIR .)
else()
  set(CHIMEWELL_INSTALL_BINDIR bin)
endif()

install(TARGETS chimewell chimectl RUNTIME DESTINATION ${CHIMEWELL_INSTALL_BINDIR})
install(FILES ${CHIMEWELL_TEMPLATE_DB} DESTINATION ${CHIMEWELL_INSTALL_BINDIR}/templates)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/licenses/SQLite.txt DESTINATION licenses)

# The Windows programs link the compiler's runtime (libgcc, libstdc++) and the
# mingw-w64 runtime (C runtime start-up, winpthreads) statically: their licence
# texts travel with them. The POSIX programs use the system's shared runtime.
if(WIN32)
  set(CHIMEWELL_GCC_RUNTIME_COPYRIGHT
      /usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright CACHE FILEPATH
      "Licence text of the statically linked libgcc and libstdc++")
  set(CHIMEWELL_MINGW_RUNTIME_COPYRIGHT
      /usr/share/doc/mingw-w64-x86-64-dev/copyright CACHE FILEPATH
      "Licence text of the statically linked mingw-w64 runtime and winpthreads")
  foreach(text CHIMEWELL_GCC_RUNTIME_COPYRIGHT CHIMEWELL_MINGW_RUNTIME_COPYRIGHT)
    if(NOT EXISTS "${${text}}")
      message(FATAL_ERROR "${${text}} is missing: run scripts/setup.sh windows (or set ${text})")
    endif()
  endforeach()
  install(FILES ${CHIMEWELL_GCC_RUNTIME_COPYRIGHT} DESTINATION licenses RENAME gcc-runtime.txt)
  install(FILES ${CHIMEWELL_MINGW_RUNTIME_COPYRIGHT} DESTINATION licenses RENAME mingw-w64-runtime.txt)
endif()

set(CPACK_PACKAGE_NAME chimewell)
set(CPACK_PACKAGE_VENDOR Chimewell)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Chimewell reminder service")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
# The archive unpacks into the folder the programs run from, no wrapper folder.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME})
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
include(CPack)
