# Cross build for 32-bit Windows with clang instead of gcc.
#
# On 32-bit x86, clang 14 gives an argument of an empty class (the C++
# library's iterator tags) no stack slot, where gcc gives it one. Where a
# program calls both clang's and gcc's copies of the C++ library's templates,
# the stack comes back unbalanced: the test programs, built without
# optimisation, crash as they start. The relays and the parent library use no
# C++ library and are not touched by it.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw-common.cmake)
