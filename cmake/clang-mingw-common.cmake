# What both clang cross builds share: the gcc builds' settings
# (mingw-common.cmake), with clang compiling against the same mingw-w64
# headers and libraries and the same C++ library (clang-mingw-flags.cmake).
# The toolchain files name the processor and MINGW_TRIPLE and include this.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw-flags.cmake)
if(CLANG_MINGW_MISSING)
  message(FATAL_ERROR "clang cannot build for ${MINGW_TRIPLE} here: ${CLANG_MINGW_MISSING} "
    "(scripts/setup.sh installs what it needs)")
endif()
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
string(JOIN " " CMAKE_C_FLAGS_INIT ${CLANG_MINGW_FLAGS})
string(JOIN " " CMAKE_CXX_FLAGS_INIT ${CLANG_MINGW_FLAGS} ${CLANG_MINGW_CXX_FLAGS})
string(JOIN " " link_flags ${CLANG_MINGW_LINK_FLAGS})
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "${link_flags}")
endforeach()
