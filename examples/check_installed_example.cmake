# Installs the build tree under a fresh prefix, builds the examples against
# that prefix alone, once with find_package and once with pkg-config and the
# compiler by hand, and runs each build:
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DARCH=i686|x86_64
#         -DEMULATOR=... -DC_COMPILER=... -DCXX_COMPILER=... -DARCH_DIR=...
#         [-DC_FLAGS=... -DCXX_FLAGS=...] -P check_installed_example.cmake
# C_FLAGS and CXX_FLAGS are the build's own compile and link flags, which
# clang needs to build for Windows at all (cmake/clang-mingw-flags.cmake).
file(REMOVE_RECURSE ${WORK_DIR})
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}")
  endif()
endfunction()
set(prefix ${WORK_DIR}/prefix)
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
# A user has no source tree: the build takes the package's own toolchain
# file, and the build tree's folder of Asio's headers alone, where Asio is
# there (cmake/asio.cmake).
set(toolchain ${prefix}/lib/cmake/procferry/mingw-${ARCH}.cmake)
if(NOT EXISTS ${toolchain})
  message(FATAL_ERROR "the package holds no toolchain file ${toolchain}")
endif()
set(asio_headers ${BUILD_DIR}/asio-headers)
set(asio_option)
if(EXISTS ${asio_headers}/asio.hpp)
  set(asio_option -DPROCFERRY_ASIO_INCLUDE_DIR=${asio_headers})
endif()
# What the installed README points to, by a link or by a path of docs/ or
# examples/, lies beside it.
set(doc_dir ${prefix}/share/doc/procferry)
file(READ ${doc_dir}/README.md readme)
# A bracket would hold a CMake list together: the links lose theirs first.
string(REPLACE "](" " link:" readme "${readme}")
string(REGEX MATCHALL " link:[^):# ]+\\)|`(docs|examples)/[^` ]*`" pointers "${readme}")
foreach(pointer ${pointers})
  string(REGEX REPLACE "^( link:|`)|(\\)|`)$" "" pointer "${pointer}")
  if(NOT EXISTS ${doc_dir}/${pointer})
    message(FATAL_ERROR "the installed README points to ${pointer}, which is not in ${doc_dir}")
  endif()
endforeach()

# Each example takes a program and its arguments, says what became of it and
# exits with its status.
function(check_example program)
  execute_process(COMMAND ${EMULATOR} ${program} cmd.exe /c "exit 3"
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 3 OR NOT out MATCHES "exited with status 3")
    message(FATAL_ERROR "${program} said \"${out}\" (${err}) and exited with ${status}")
  endif()
  message(STATUS "${program}: ${out}")
endfunction()

set(examples run_through_relay)
set(cxx_example ${SOURCE_DIR}/examples/run_with_process_hpp.cpp)
if(EXISTS ${cxx_example})
  list(APPEND examples run_with_process_hpp)
endif()

# find_package, as the README shows, the relays put beside the programs by
# procferry_add_relays, then installed with them.
run("configure" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${WORK_DIR}/build
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=${toolchain}
    -DCMAKE_PREFIX_PATH=${prefix} ${asio_option})
run("build" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run("install of the examples" ${CMAKE_COMMAND} --install ${WORK_DIR}/build
    --prefix ${WORK_DIR}/example-prefix)
foreach(example ${examples})
  check_example(${WORK_DIR}/build/${example}.exe)
endforeach()
check_example(${WORK_DIR}/example-prefix/bin/run_through_relay.exe)

# The documents' examples run as well: a child that fails is told by its
# status and its words.
function(check_snippet program name expected)
  execute_process(COMMAND ${EMULATOR} ${WORK_DIR}/build/${program}.exe ${name}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0 OR NOT "${out}${err}" MATCHES "${expected}")
    message(FATAL_ERROR "${program} ${name} said \"${out}\" (${err}) and exited with ${status}; "
      "expected ${expected}")
  endif()
  message(STATUS "${program} ${name}: ${out}${err}")
endfunction()
check_snippet(doc_snippets start "status 3")
check_snippet(doc_snippets capture "b\r?\na")
if(EXISTS ${SOURCE_DIR}/examples/readme_snippets.cpp)
  check_snippet(readme_snippets run_and_capture "cmd exited with status 3.*cmd exited with status")
  check_snippet(readme_snippets lines_and_pipeline "> .*b\r?\na")
  check_snippet(readme_snippets library_capture "b\r?\na")
  check_snippet(readme_snippets library_streams "progress: .*worker.exe: not found")
  # The callback may not come before the child object goes, which cancels it;
  # the snippet's last line says the stop returned and notepad had started.
  check_snippet(readme_snippets stop "^(ended with 0\r?\n)?stop returned\r?\n(ended with 0\r?\n)?$")
  # wine connects no standard handle to a pseudo console: its cmd shows no
  # prompt there and ends at once (status 0), or the snippet ends it. Either
  # way the snippet tells the end, after the console's first frame.
  check_snippet(readme_snippets console "\\[2J.*cmd(.exe)? (exited with status [0-9]+|was ended, with everything it started, when killed)")
endif()
if(EXISTS ${SOURCE_DIR}/examples/everyday_jobs.cpp)
  check_snippet(everyday_jobs "" "done: words for a failure")
endif()

# pkg-config, with nothing but this prefix's file in its search.
set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/lib/${ARCH_DIR}/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})
function(pkg_config out)
  execute_process(COMMAND pkg-config ${ARGN} procferry RESULT_VARIABLE status
    OUTPUT_VARIABLE text ERROR_VARIABLE text OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "pkg-config ${ARGN} procferry failed: ${text}")
  endif()
  separate_arguments(text UNIX_COMMAND "${text}")
  set(${out} ${text} PARENT_SCOPE)
endfunction()
pkg_config(flags --cflags --libs)
pkg_config(relay_dir --variable=bindir)
set(out_dir ${WORK_DIR}/pkg-config)
file(MAKE_DIRECTORY ${out_dir})
file(GLOB relay_files ${relay_dir}/procferry.exe ${relay_dir}/procferry-console.exe ${relay_dir}/*.dll)
file(COPY ${relay_files} DESTINATION ${out_dir})
separate_arguments(c_flags UNIX_COMMAND "${C_FLAGS}")
separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
run("pkg-config build of run_through_relay" ${C_COMPILER} ${c_flags} -municode
    ${SOURCE_DIR}/examples/run_through_relay.c ${flags} -static -o ${out_dir}/run_through_relay.exe)
if(EXISTS ${cxx_example})
  file(STRINGS ${cxx_example} wide_entry REGEX "wmain")
  set(entry_flag)
  if(wide_entry)
    set(entry_flag -municode)
  endif()
  run("pkg-config build of run_with_process_hpp" ${CXX_COMPILER} ${cxx_flags} -std=c++17 ${entry_flag}
      ${cxx_example} ${flags} -static -o ${out_dir}/run_with_process_hpp.exe)
endif()
foreach(example ${examples})
  check_example(${out_dir}/${example}.exe)
endforeach()

# procferry/asio.hpp in C++20 coroutines: through find_package(procferry
# COMPONENTS asio) above, and through procferry-asio.pc with Asio's folder
# added by hand.
function(check_asio program expected)
  execute_process(COMMAND ${EMULATOR} ${program} ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 3 OR NOT out MATCHES "${expected}")
    message(FATAL_ERROR "${program} said \"${out}\" (${err}) and exited with ${status}; "
      "expected ${expected} and status 3")
  endif()
  message(STATUS "${program}: ${out}")
endfunction()
if(asio_option)
  foreach(example asio_lines asio_capture)
    if(NOT EXISTS ${WORK_DIR}/build/${example}.exe)
      message(FATAL_ERROR "${example} was not built: the asio component was not found")
    endif()
  endforeach()
  check_asio(${WORK_DIR}/build/asio_lines.exe "> one\r?\n> two\r?\n.*exited with status 3"
    cmd.exe /c "echo one& echo two& exit 3")
  check_asio(${WORK_DIR}/build/asio_capture.exe "one\r?\ntwo\r?\n.*exited with status 3")
  execute_process(COMMAND pkg-config --cflags --libs procferry-asio RESULT_VARIABLE status
    OUTPUT_VARIABLE asio_flags ERROR_VARIABLE asio_flags OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "pkg-config --cflags --libs procferry-asio failed: ${asio_flags}")
  endif()
  separate_arguments(asio_flags UNIX_COMMAND "${asio_flags}")
  run("pkg-config build of asio_capture" ${CXX_COMPILER} -std=c++20 -I${asio_headers}
      ${SOURCE_DIR}/examples/asio_capture.cpp ${asio_flags} -static -o ${out_dir}/asio_capture.exe)
  check_asio(${out_dir}/asio_capture.exe "one\r?\ntwo\r?\n.*exited with status 3")
else()
  message(STATUS "no Asio in ${asio_headers}: the Asio examples are left out")
endif()
