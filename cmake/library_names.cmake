# Writes OUT: every identifier of the headers that a generated source includes (macros, types,
# functions, members), one C string literal a line. Run by src/CMakeLists.txt.
get_filename_component(dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
file(WRITE ${OUT}.c "#include <stdint.h>\n#include <string.h>\n#include <kr_utilities.h>\n#include <kr_canopen.h>\n")
execute_process(COMMAND ${CC} -E -dD -P -DCONFIG_CANOPEN_RXPDO_COUNT=1 -DCONFIG_CANOPEN_TXPDO_COUNT=1 -I${INC} ${OUT}.c
                OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
file(REMOVE ${OUT}.c)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "The library headers could not be read: ${err}")
endif()
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" words "${text}")
list(REMOVE_DUPLICATES words)
list(SORT words)
list(JOIN words "\\0\"\n\"" body)
file(WRITE ${OUT} "\"${body}\\0\"\n")

# Writes DECLARED: every name the C11 standard headers and the library's headers define or declare
# at file scope (macros, types, functions, enumeration constants, objects), and CONSTANTS: the
# library's CANOPEN_ macros that are integer constants, as name and value. A generated header may
# be included after any standard header, so neither its symbols nor a data pointer may take these.
set(std_headers assert complex ctype errno fenv float inttypes iso646 limits locale math setjmp signal stdalign
    stdarg stdatomic stdbool stddef stdint stdio stdlib stdnoreturn string tgmath threads time uchar wchar wctype)
set(src "")
foreach(h ${std_headers})
  string(APPEND src "#include <${h}.h>\n")
endforeach()
string(APPEND src "#include <kr_utilities.h>\n#include <kr_canopen.h>\n")
file(WRITE ${OUT}.std.c "${src}")
set(flags -std=c11 -DCONFIG_CANOPEN_RXPDO_COUNT=1 -DCONFIG_CANOPEN_TXPDO_COUNT=1 -I${INC})
execute_process(COMMAND ${CC} -E -dM ${flags} ${OUT}.std.c OUTPUT_VARIABLE macros RESULT_VARIABLE rc1 ERROR_VARIABLE err1)
execute_process(COMMAND ${CC} -E -P ${flags} ${OUT}.std.c OUTPUT_VARIABLE decls RESULT_VARIABLE rc2 ERROR_VARIABLE err2)
file(REMOVE ${OUT}.std.c)
if(NOT rc1 EQUAL 0 OR NOT rc2 EQUAL 0)
  message(FATAL_ERROR "The standard headers could not be read: ${err1}${err2}")
endif()
set(names "")
string(REGEX MATCHALL "#define [A-Za-z_][A-Za-z0-9_]*" found "${macros}")
foreach(m ${found})
  string(SUBSTRING "${m}" 8 -1 m)
  list(APPEND names ${m})
endforeach()
# Function names (a name before '('), type and object names (before ';' after a '}' or in a
# typedef or extern declaration), pointer types and enumeration constants.
string(REGEX REPLACE "[\t\r\n ]+" " " decls "${decls}")
# A ';' would split CMake's lists: declarations end in '@' here.
string(REPLACE ";" "@" decls "${decls}")
foreach(pattern "([A-Za-z_][A-Za-z0-9_]*) ?\\(" "} ?([A-Za-z_][A-Za-z0-9_]*) ?@"
        "typedef [^@{}()]*[ *]([A-Za-z_][A-Za-z0-9_]*) ?@" "extern [^@{}()]*[ *]([A-Za-z_][A-Za-z0-9_]*) ?(\\[[^]]*\\])? ?@"
        "\\( ?\\* ?([A-Za-z_][A-Za-z0-9_]*) ?\\)")
  string(REGEX MATCHALL "${pattern}" found "${decls}")
  foreach(m ${found})
    string(REGEX MATCH "${pattern}" m "${m}")
    list(APPEND names ${CMAKE_MATCH_1})
  endforeach()
endforeach()
string(REGEX MATCHALL "enum [A-Za-z0-9_ ]*{[^}]*}" bodies "${decls}")
foreach(b ${bodies})
  string(REGEX REPLACE "^[^{]*{" "," b "${b}")
  string(REGEX MATCHALL ", ?[A-Za-z_][A-Za-z0-9_]*" found "${b}")
  foreach(m ${found})
    string(REGEX REPLACE "^, ?" "" m "${m}")
    list(APPEND names ${m})
  endforeach()
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
list(JOIN names "\\0\"\n\"" body)
file(WRITE ${DECLARED} "\"${body}\\0\"\n")

string(REGEX MATCHALL "#define CANOPEN_[A-Za-z0-9_]* \\(?[0-9][0-9A-Fa-fxXuUlL]*\\)?\n" found "${macros}\n")
set(body "")
foreach(m ${found})
  string(REGEX MATCH "#define (CANOPEN_[A-Za-z0-9_]*) \\(?([0-9][0-9A-Fa-fxXuUlL]*)\\)?" m "${m}")
  string(APPEND body "{\"${CMAKE_MATCH_1}\", \"${CMAKE_MATCH_2}\"},\n")
endforeach()
file(WRITE ${CONSTANTS} "${body}")
