# Every C and C++ example of the README and of docs/ stands, as written, in
# one of the example programs that the installed_example test builds, so
# that none can stop compiling unseen. Indentation aside, each example's
# text must appear whole in doc_snippets.c, readme_snippets.cpp or
# run_through_relay.c.
# Usage: cmake -DSOURCE_DIR=<project root> -P check_doc_snippets.cmake
set(examples "")
foreach(file doc_snippets.c readme_snippets.cpp run_through_relay.c)
  file(READ ${SOURCE_DIR}/examples/${file} text)
  string(APPEND examples "${text}\n")
endforeach()
string(REGEX REPLACE "\n[ ]+" "\n" examples "\n${examples}")

file(GLOB documents ${SOURCE_DIR}/docs/*.md)
list(APPEND documents ${SOURCE_DIR}/README.md)
set(checked 0)
set(missing "")
foreach(document ${documents})
  file(READ ${document} text)
  # Each fenced block of C or C++: its opening fence to the next fence.
  while(text MATCHES "```(c|cpp)\n")
    string(FIND "${text}" "```${CMAKE_MATCH_1}\n" start)
    string(LENGTH "```${CMAKE_MATCH_1}\n" fence)
    math(EXPR start "${start} + ${fence}")
    string(SUBSTRING "${text}" ${start} -1 text)
    string(FIND "${text}" "```" end)
    string(SUBSTRING "${text}" 0 ${end} block)
    string(SUBSTRING "${text}" ${end} -1 text)
    string(REGEX REPLACE "\n[ ]+" "\n" block "\n${block}")
    string(FIND "${examples}" "${block}" found)
    math(EXPR checked "${checked} + 1")
    if(found EQUAL -1)
      get_filename_component(name ${document} NAME)
      string(SUBSTRING "${block}" 0 80 first)
      string(APPEND missing "\n  ${name}: ${first}...")
    endif()
  endwhile()
endforeach()
if(missing)
  message(FATAL_ERROR "examples that no example program holds as written:${missing}")
endif()
message(STATUS "${checked} examples stand in the example programs")
