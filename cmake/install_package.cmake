# The install rules of the relays and the base library, and the package that
# find_package(procferry) and pkg-config read. The parent library and the
# tool install themselves (parent/, tools/).
install(TARGETS procferry procferry-console pellix EXPORT procferryTargets
  RUNTIME DESTINATION ${PROCFERRY_INSTALL_BINDIR} COMPONENT relays
  LIBRARY DESTINATION ${PROCFERRY_INSTALL_BINDIR} COMPONENT relays
  ARCHIVE DESTINATION ${PROCFERRY_INSTALL_LIBDIR} COMPONENT relays)
install(EXPORT procferryTargets NAMESPACE procferry::
  FILE procferryTargets-${PROCFERRY_ARCH}.cmake DESTINATION ${PROCFERRY_INSTALL_CMAKEDIR})

include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/procferryConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/procferryConfig.cmake
  INSTALL_DESTINATION ${PROCFERRY_INSTALL_CMAKEDIR})
# One version file serves both architectures; the configuration file picks
# the architecture's targets.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/procferryConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/procferryConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/procferryConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/procferryAddRelays.cmake
  ${PROJECT_SOURCE_DIR}/cmake/procferryAsio.cmake
  DESTINATION ${PROCFERRY_INSTALL_CMAKEDIR})
# The cross toolchain files go with the package, for a user who has no source
# tree. They are read before any find_package, so they are named by their path
# anyway; beside the package's configuration, every CMake file of procferry is
# in the one folder that a user already knows from CMAKE_PREFIX_PATH, and that
# folder is the same for both architectures, as the toolchain files are.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/mingw-common.cmake
  ${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake
  ${PROJECT_SOURCE_DIR}/cmake/mingw-x86_64.cmake
  DESTINATION ${PROCFERRY_INSTALL_CMAKEDIR})

# pkg-config: one file per architecture, in that architecture's lib folder.
# Its paths are taken from where it lies, so the prefix can move.
file(RELATIVE_PATH pc_to_prefix /prefix/${PROCFERRY_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
# procferry-asio adds what procferry/asio.hpp needs but Asio's own folder,
# which is the user's to give.
foreach(pc procferry procferry-asio)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${PROCFERRY_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# The README's links are relative (docs/..., examples/...): the folders they
# name go beside it, so that they lead somewhere in the installed copy too.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs ${PROJECT_SOURCE_DIR}/examples
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
