# Where an install puts things (GNUInstallDirs). Headers, the CMake package's
# own files and the documentation are the same for both architectures; the
# programs, the base library and the parent library go into a folder named
# after the compiler's target triplet, bin/i686-w64-mingw32 and
# lib/x86_64-w64-mingw32, so that an i686 and an x86_64 build install into one
# prefix side by side. The relays load the base library from their own folder,
# so the programs and the DLL stay together in that one bin folder.
include(GNUInstallDirs)
# The toolchain files name the triplet: clang, unlike gcc, answers -dumpmachine
# with the host's own.
if(MINGW_TRIPLE)
  set(compiler_triplet ${MINGW_TRIPLE})
else()
  execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpmachine
    OUTPUT_VARIABLE compiler_triplet OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(PROCFERRY_ARCH_DIR "${compiler_triplet}" CACHE STRING
  "Subfolder of bin and lib for this architecture's files (empty: none)")
if(PROCFERRY_ARCH_DIR)
  set(PROCFERRY_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR}/${PROCFERRY_ARCH_DIR})
  set(PROCFERRY_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/${PROCFERRY_ARCH_DIR})
else()
  set(PROCFERRY_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(PROCFERRY_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
endif()
set(PROCFERRY_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/procferry)
# The package's per-architecture files are told apart by the pointer size a
# user's build has, the one thing find_package knows of its target.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(PROCFERRY_ARCH i686)
else()
  set(PROCFERRY_ARCH x86_64)
endif()
