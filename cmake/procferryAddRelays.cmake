# procferry_add_relays(<target> [DESTINATION <dir>])
#
# A program that starts others through the relay wants procferry.exe,
# procferry-console.exe and the base library they load beside it: the parent
# library looks for the relay in the program's own folder unless told
# otherwise. This copies the three files beside <target>'s output whenever it
# is built, and installs them into DESTINATION (default: the bin folder of
# GNUInstallDirs, else "bin"), where the caller installs <target> too.
function(procferry_add_relays target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESTINATION" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "procferry_add_relays: unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET ${target})
    message(FATAL_ERROR "procferry_add_relays: ${target} is not a target")
  endif()
  foreach(relay_target procferry::procferry procferry::procferry-console procferry::pellix)
    if(NOT TARGET ${relay_target})
      message(FATAL_ERROR "procferry_add_relays: ${relay_target} is missing; find_package(procferry COMPONENTS relays) first")
    endif()
  endforeach()
  set(files $<TARGET_FILE:procferry::procferry> $<TARGET_FILE:procferry::procferry-console>
    $<TARGET_FILE:procferry::pellix>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${files} $<TARGET_FILE_DIR:${target}>
    VERBATIM)
  if(NOT arg_DESTINATION)
    if(CMAKE_INSTALL_BINDIR)
      set(arg_DESTINATION ${CMAKE_INSTALL_BINDIR})
    else()
      set(arg_DESTINATION bin)
    endif()
  endif()
  install(PROGRAMS ${files} DESTINATION ${arg_DESTINATION})
endfunction()
