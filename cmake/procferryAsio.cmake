# The package's asio component, read by procferryConfig.cmake when it is asked
# for: procferry::asio, for a program that includes procferry/asio.hpp. Asio
# itself is the user's (standalone, header-only, 1.22 or later): the folder
# named by PROCFERRY_ASIO_INCLUDE_DIR, or else the one found to hold asio.hpp.
# Sets procferry_asio_FOUND, and _procferry_asio_why when it is not found.
function(_procferry_find_asio)
  set(procferry_asio_FOUND FALSE PARENT_SCOPE)
  if(TARGET procferry::asio)
    set(procferry_asio_FOUND TRUE PARENT_SCOPE)
    return()
  endif()
  if(NOT TARGET procferry::parent)
    set(_procferry_asio_why "it needs the parent library, which this prefix does not hold" PARENT_SCOPE)
    return()
  endif()

  # Asio's headers are the same for every target, so a cross build may take
  # the host's (Debian's libasio-dev): the search looks outside the
  # toolchain's root too.
  find_path(PROCFERRY_ASIO_INCLUDE_DIR asio.hpp CMAKE_FIND_ROOT_PATH_BOTH
    DOC "The folder that holds standalone Asio's asio.hpp and asio/")
  set(from "${PROCFERRY_ASIO_INCLUDE_DIR}")
  set(what_to_set "set PROCFERRY_ASIO_INCLUDE_DIR to the folder that holds asio.hpp and asio/ (standalone Asio 1.22 or later)")
  if(NOT EXISTS "${from}/asio.hpp" OR NOT IS_DIRECTORY "${from}/asio")
    if(from)
      set(_procferry_asio_why "${from} holds no asio.hpp and asio/; ${what_to_set}" PARENT_SCOPE)
    else()
      set(_procferry_asio_why "Asio was not found; ${what_to_set}" PARENT_SCOPE)
    endif()
    return()
  endif()
  # procferry/asio.hpp asks for 1.22 or later; ASIO_VERSION 102200 is 1.22.0.
  file(STRINGS "${from}/asio/version.hpp" version REGEX "^#define ASIO_VERSION [0-9]+")
  string(REGEX REPLACE "^#define ASIO_VERSION ([0-9]+).*" "\\1" version "${version}")
  if(NOT version OR version LESS 102200)
    set(_procferry_asio_why "the Asio in ${from} is older than 1.22; ${what_to_set}" PARENT_SCOPE)
    return()
  endif()

  # The compiler gets a folder of the user's build that holds links to
  # asio.hpp and asio/ and nothing else: were Asio's own folder /usr/include,
  # it would shadow the cross compiler's C headers with the host's. The links
  # are made again at each configure, in case the variable names another
  # folder now.
  set(headers "${CMAKE_BINARY_DIR}/procferry-asio-headers")
  file(MAKE_DIRECTORY "${headers}")
  foreach(entry asio.hpp asio)
    file(CREATE_LINK "${from}/${entry}" "${headers}/${entry}" SYMBOLIC)
  endforeach()
  add_library(procferry::asio INTERFACE IMPORTED)
  # Asio assumes Windows XP without a version; its completion ports want newer.
  set_target_properties(procferry::asio PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${headers}"
    INTERFACE_COMPILE_DEFINITIONS "_WIN32_WINNT=0x0A00;WIN32_LEAN_AND_MEAN"
    INTERFACE_LINK_LIBRARIES "procferry::parent;ws2_32;mswsock")
  set(procferry_asio_FOUND TRUE PARENT_SCOPE)
endfunction()

_procferry_find_asio()
