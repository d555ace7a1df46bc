# How clang compiles and links for mingw-w64, in the one place that both the
# clang toolchain files and the public headers' test read. In: MINGW_TRIPLE.
# Out: CLANG_MINGW_FLAGS (every language), CLANG_MINGW_CXX_FLAGS (C++ only),
# CLANG_MINGW_LINK_FLAGS and CLANG_MINGW_MISSING (why clang cannot build for
# that triplet here; empty when it can).
#
# Left to itself, clang for a mingw-w64 target looks for a gcc beside it and
# searches /usr/include, where the host's C headers would shadow mingw-w64's.
# Debian's gcc also keeps its files in a folder named "12-posix", which clang
# does not read as a version, so it finds neither gcc's C++ headers nor its
# libraries. The sysroot /usr/<triplet> holds mingw-w64's headers and
# libraries and nothing of the host; gcc's C++ library, its start and end
# objects and libgcc are named by hand. The -posix gcc's C++ library is the
# one to use, for the reason cmake/mingw-common.cmake gives.
string(REPLACE "-mingw32" "-windows-gnu" clang_mingw_target ${MINGW_TRIPLE})
set(clang_mingw_sysroot /usr/${MINGW_TRIPLE})
file(GLOB clang_mingw_gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${MINGW_TRIPLE}/*-posix)
list(SORT clang_mingw_gcc_dirs COMPARE NATURAL)
list(POP_BACK clang_mingw_gcc_dirs clang_mingw_gcc_dir)
set(clang_mingw_cxx_headers ${clang_mingw_gcc_dir}/include/c++)

set(CLANG_MINGW_MISSING "")
if(NOT EXISTS ${clang_mingw_sysroot}/include/windows.h)
  set(CLANG_MINGW_MISSING "mingw-w64's headers are not in ${clang_mingw_sysroot}/include")
elseif(NOT clang_mingw_gcc_dir OR NOT EXISTS ${clang_mingw_cxx_headers}/vector)
  set(CLANG_MINGW_MISSING "the C++ library of ${MINGW_TRIPLE}-g++-posix is not in /usr/lib/gcc/${MINGW_TRIPLE}/<version>-posix")
endif()

# gcc keeps thread-local variables in emulated storage, and its C++ library's
# (those of std::call_once) are found only that way.
set(CLANG_MINGW_FLAGS --target=${clang_mingw_target} --sysroot=${clang_mingw_sysroot} -femulated-tls)
# g++ tells its C++ library that type_info's == is out of line on Windows;
# clang does not, and then its inline copy clashes with the library's. g++
# -posix also defines _REENTRANT, without which Asio takes the program to
# have no threads and refuses to start its own.
set(CLANG_MINGW_CXX_FLAGS -isystem ${clang_mingw_cxx_headers}
  -isystem ${clang_mingw_cxx_headers}/${MINGW_TRIPLE} -isystem ${clang_mingw_cxx_headers}/backward
  -D__GXX_TYPEINFO_EQUALITY_INLINE=0 -D_REENTRANT=1)
# -B is where the driver finds crtbegin.o and crtend.o, -L libgcc and the C++
# library. Without -fuse-ld the driver runs the host's own ld; lld links
# Windows programs, and reads clang's link-time optimisation too. The -posix
# gcc links winpthreads into every program, which its C++ library's threads
# and mutexes call; clang does so with -pthread.
set(CLANG_MINGW_LINK_FLAGS -fuse-ld=lld -B${clang_mingw_gcc_dir} -L${clang_mingw_gcc_dir} -pthread)
