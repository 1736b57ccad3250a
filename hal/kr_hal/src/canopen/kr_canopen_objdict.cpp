// The application's object table: a program that has application objects defines both; programs
// without (and every test program) get this empty table. Weak, so the application's own wins. It
// stands in a unit of its own so that the stack never sees a table of a fixed size: code that knew
// this one-entry array would treat an application's longer table as an out-of-bounds read.
#include "kr_canopen.h"

extern "C" {
__attribute__((weak)) extern const canopen_object_st obj_dict[1] = {};
__attribute__((weak)) uint32_t obj_dict_len(void) { return 0; }
}
