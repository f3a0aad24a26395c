# install.cmake - what `cmake --install` puts where, and the two ways other
# builds find it again: the CMake package (lib/cmake/pmdb) and pkg-config
# (lib/pkgconfig/pmdb.pc).
#
#   include/pmdblib.h                   the public header
#   lib/libpmdb.so.0.x.y, .so.0, .so    the shared library (soname .so.0)
#   lib/libpmdb.a                       the static library
#   lib/cmake/pmdb/                     pmdbConfig.cmake, pmdbConfigVersion.cmake,
#                                       pmdbTargets*.cmake (pmdb::pmdb, pmdb::pmdb_static)
#   lib/pkgconfig/pmdb.pc
#   bin/pmdb, share/man/man1/pmdb.1     the tool and its manual page
#   share/doc/pmdblib/                  README.md and docs/*.md
#
# Both package files name every path relative to their own location, so an
# installed tree works from wherever it is moved to.

include(CMakePackageConfigHelpers)

set(PMDB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/pmdb)
set(PMDB_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PMDB_SOURCE_DIR}/include/pmdblib.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(TARGETS pmdb_shared pmdb_static EXPORT pmdbTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT pmdbTargets NAMESPACE pmdb:: DESTINATION ${PMDB_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/pmdbConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/pmdbConfig.cmake
  INSTALL_DESTINATION ${PMDB_CMAKE_DIR})
# Until 1.0 the soname stays libpmdb.so.0, so any 0.x satisfies a request
# for 0.y with y <= x; the same rule as the soname's.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/pmdbConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pmdbConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/pmdbConfigVersion.cmake
  DESTINATION ${PMDB_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own directory.
file(RELATIVE_PATH PMDB_PC_TO_PREFIX /${PMDB_PKGCONFIG_DIR} /)
string(REGEX REPLACE "/$" "" PMDB_PC_TO_PREFIX "${PMDB_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/pmdb.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pmdb.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pmdb.pc DESTINATION ${PMDB_PKGCONFIG_DIR})

if(PMDB_BUILD_TOOLS)
  install(TARGETS pmdb RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The manual page is written with the tool; installed once it is there.
  install(FILES ${PMDB_SOURCE_DIR}/docs/pmdb.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 OPTIONAL)
endif()

file(GLOB PMDB_DOCS ${PMDB_SOURCE_DIR}/docs/*.md)
install(FILES ${PMDB_SOURCE_DIR}/README.md ${PMDB_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
