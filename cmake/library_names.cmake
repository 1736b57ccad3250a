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
list(JOIN words "\",\n\"" body)
file(WRITE ${OUT} "\"${body}\"\n")
