/* What the Settings tab keeps, read by its tests: the parameter list, the interface list and where
 * its controls are on screen. */
#ifndef SETTINGSTAB_INTERNAL_H
#define SETTINGSTAB_INTERNAL_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SETTINGSTAB_PARAMS_MAX 32u
#define SETTINGSTAB_PARAM_PATH_LEN 256u
#define SETTINGSTAB_CANBUS_MAX 16u

typedef enum {
    SETTINGSTAB_W_URL = 0,
    SETTINGSTAB_W_FLEET_URL,
    SETTINGSTAB_W_USER,
    SETTINGSTAB_W_PASS,
    SETTINGSTAB_W_CONNECT,
    SETTINGSTAB_W_FILES_STATUS,
    SETTINGSTAB_W_FLEET_STATUS,
    SETTINGSTAB_W_UPDATES,
    SETTINGSTAB_W_NOTES,
    SETTINGSTAB_W_CANBUS,
    SETTINGSTAB_W_BAUD,
    SETTINGSTAB_W_APPLY,
    SETTINGSTAB_W_ADD,
    SETTINGSTAB_W_LOAD,
    SETTINGSTAB_W_ROW_UP,     /* with a row */
    SETTINGSTAB_W_ROW_DOWN,   /* with a row */
    SETTINGSTAB_W_ROW_REMOVE, /* with a row */
    SETTINGSTAB_W_ROW_LABEL,  /* with a row */
} settingstab_widget_e;

typedef struct {
    int32_t x, y; /* centre, logical screen pixels */
    bool enabled;
    bool visible;
    const char *text; /* button text, label text or list entry shown; never null */
} settingstab_widget_st;

/* False when the tab is not shown or the widget does not exist (a row beyond the list). */
bool settingstab_widget(settingstab_widget_e which, uint32_t row, settingstab_widget_st *out);
uint32_t settingstab_param_count(void);
const char *settingstab_param_path(uint32_t index);
uint32_t settingstab_canbus_count(void);
const char *settingstab_canbus_name(uint32_t index);
/* Adds a dialog's newline-separated answer (changed in place), as "Add parameter files" does. */
void settingstab_params_add(char *paths);

#ifdef __cplusplus
}
#endif

#endif
