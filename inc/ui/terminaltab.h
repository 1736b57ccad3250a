/* The terminal sub-tab of a device tab: one text session per device, typed lines sent to the shown
 * device over the terminal frames of object 0x5FFF. Valid C11 and C++. */
#ifndef KRCAN_TERMINALTAB_H
#define KRCAN_TERMINALTAB_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kr_can.h"
#include "ui/kr_uiobject.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TERM_SESSION_COUNT 20
#define TERM_TEXT_LEN 8192u  /* characters a session keeps */
#define TERM_TEXT_DROP 2048u /* dropped at once when full */
#define TERM_RX_LEN 2048u
#define TERM_TX_LEN 1024u
#define TERM_INPUT_LEN 256u
#define TERM_RESPONSE_MS 2000u

void terminaltab_init(void);
void terminaltab_build(kr_uiwindow_st *parent, uint8_t nodeid);
/* Every frame while the sub-tab is shown; `focused`: the wheel belongs to the terminal. */
void terminaltab_step(bool focused);
/* The sub-tab is no longer on screen (its widgets are gone). */
void terminaltab_unbuild(void);

/* The library task's frame hook (the heartbeat monitor's extra callback). */
void terminaltab_can_sniff(void *app, const kr_can_message_st *msg);
/* Queues a line and "\n" for the shown device; false (nothing queued) when it does not fit whole or
 * no device that can take it is shown. */
bool terminaltab_send_line(const char *line);
/* The text of the shown session. */
const char *terminaltab_text(void);
/* Appends one character to a session's text, keeping the newest characters (exposed for tests). */
void terminaltab_text_append(char *text, size_t *len, char c);

#ifdef __cplusplus
}
#endif

#endif
