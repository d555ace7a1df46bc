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
  DESTINATION ${PROCFERRY_INSTALL_CMAKEDIR})

# pkg-config: one file per architecture, in that architecture's lib folder.
# Its paths are taken from where it lies, so the prefix can move.
file(RELATIVE_PATH pc_to_prefix /prefix/${PROCFERRY_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/procferry.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/procferry.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/procferry.pc
  DESTINATION ${PROCFERRY_INSTALL_LIBDIR}/pkgconfig)

# The README's links are relative (docs/..., examples/...): the folders they
# name go beside it, so that they lead somewhere in the installed copy too.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs ${PROJECT_SOURCE_DIR}/examples
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
