/* The CAN configuration window: chooses the CAN device and bit rate before the main window opens. */
#ifndef KR_UICONFWINDOW_H
#define KR_UICONFWINDOW_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

struct kr_uistyle_st;

#define CONFWINDOW_MAX_CAN_DEVS 10
#define CONFWINDOW_IFNAME_LEN 16
#define BAUD_LISTBUTTON_DEFAULT 250000

/* Runs the window until OK (null style: the back end's default). False, with the reason on standard
 * output, when the window cannot be shown; the program without the toolkit says so too. */
bool kr_ui_confwindow_exec(const struct kr_uistyle_st *style);

/* The window itself lives in the toolkit library; a program that links it installs it here. */
void kr_ui_confwindow_set_impl(bool (*impl)(const struct kr_uistyle_st *style));
bool kr_uiconfwindow_run(const struct kr_uistyle_st *style);

#ifdef __cplusplus
}
#endif

#endif
