# Asio (standalone, header-only: Debian's libasio-dev) for the tests, the
# example and the benchmark of procferry/asio.hpp. The cross build gets a
# folder that holds Asio's headers and nothing else: the host's include
# directory as a whole would shadow the cross compiler's own C headers.
# Without Asio, what needs it is left out.
set(PROCFERRY_ASIO_FROM /usr/include CACHE PATH "The directory that holds asio.hpp and asio/")
if(EXISTS ${PROCFERRY_ASIO_FROM}/asio.hpp AND IS_DIRECTORY ${PROCFERRY_ASIO_FROM}/asio)
  set(asio_headers ${CMAKE_BINARY_DIR}/asio-headers)
  file(MAKE_DIRECTORY ${asio_headers})
  foreach(entry asio.hpp asio)
    if(NOT EXISTS ${asio_headers}/${entry})
      file(CREATE_LINK ${PROCFERRY_ASIO_FROM}/${entry} ${asio_headers}/${entry} SYMBOLIC)
    endif()
  endforeach()
  add_library(procferry_asio INTERFACE)
  target_include_directories(procferry_asio SYSTEM INTERFACE ${asio_headers})
  # Asio assumes Windows XP without a version; completion ports want newer.
  target_compile_definitions(procferry_asio INTERFACE _WIN32_WINNT=0x0A00 WIN32_LEAN_AND_MEAN)
  # Asio looks for clang's coroutines in libc++'s <experimental/coroutine>
  # only; with gcc's C++ library, which the clang build uses, it is told.
  target_compile_definitions(procferry_asio INTERFACE
    $<$<AND:$<CXX_COMPILER_ID:Clang>,$<VERSION_GREATER_EQUAL:$<TARGET_PROPERTY:CXX_STANDARD>,20>>:ASIO_HAS_CO_AWAIT=1>)
  target_link_libraries(procferry_asio INTERFACE ws2_32 mswsock)
else()
  message(STATUS "Asio not found in ${PROCFERRY_ASIO_FROM}: the Asio tests, example and benchmark are left out")
endif()
