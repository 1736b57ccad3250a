// Stand-ins for the RTOS wrapper functions the CAN port calls, until the RTOS layer lands (its owner
// deletes this file). They behave as the real ones do before the scheduler starts.
#include "kr_rtos.h"

static void *application_ptr;

void kr_rtos_blocking_enter(void) {}
void kr_rtos_blocking_leave(void) {}
void kr_set_application_ptr(void *ptr) { application_ptr = ptr; }
void *__kr_get_user_ptr(void) { return application_ptr; }
