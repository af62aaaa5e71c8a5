# Writes the C example of the README's integration section to OUT, as an application team would
# copy it: the first ```c block after the heading "## Integrate".
#   cmake -DREADME=README.md -DOUT=example.c -P extract_example.cmake
file(READ "${README}" text)
string(FIND "${text}" "\n## Integrate" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${README} has no integration section")
endif()
string(SUBSTRING "${text}" ${at} -1 text)
string(FIND "${text}" "\n```c\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "the integration section of ${README} has no C example")
endif()
math(EXPR start "${start} + 6")
string(SUBSTRING "${text}" ${start} -1 text)
string(FIND "${text}" "\n```" end)
math(EXPR end "${end} + 1")
string(SUBSTRING "${text}" 0 ${end} code)
file(WRITE "${OUT}" "${code}")
