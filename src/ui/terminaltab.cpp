// The terminal sub-tab: what a device's command interpreter prints, one session per device, and the
// typed lines sent back to it.
#include "ui/terminaltab.h"

#include <cstdio>
#include <cstring>

#include "ui/devicetab.h"
#include "bus/find.h"
#include "kr_rtos.h"
#include "kr_ui.h"
#include "run/main.h"
#include "ui/settingstab.h"
#include "bus/terminal.h"
#include "ui/kr_uitextedit.h"
#include "ui/kr_uiwidgets.h"

namespace {

struct term_session_st {
    uint8_t nodeid;
    bool used;
    char rx_text[TERM_TEXT_LEN + 1];
    size_t len;
    bool pinned_bottom;
};

term_session_st sessions[TERM_SESSION_COUNT];

bool inited = false;
kr_mutex_st mutex;
char rx_buf[TERM_RX_LEN];
char tx_buf[TERM_TX_LEN];
kr_ring_buffer_st rx_rb;
kr_ring_buffer_st tx_rb;
volatile bool responded = true;
volatile uint8_t term_nodeid = 0;
term_session_st *cur_session = nullptr;
bool built = false;

kr_uiwindow_st term_win;
kr_uiobject_st *term_win_buf[1];
kr_uilabel_st term_label;
char shown_text[TERM_TEXT_LEN + TERM_TEXT_LEN / 4 + 1]; // the session's text wrapped at the view's width
kr_uitextedit_st input;
char input_buf[TERM_INPUT_LEN];
void (*input_touch_base)(kr_uiobject_st *, kr_touch_st *) = nullptr;
bool input_entered = false;

// Jobs own the bus: typed text waits so that no terminal frame lands between a job's SDO frames.
bool sending_paused() { return devicetab_is_busy() || settingstab_is_busy(); }

// The area a page's widgets may take: a tab window's content lies under its tab bar.
kr_bounding_box_st page_area(const kr_uiwindow_st *w)
{
    kr_bounding_box_st r;
    kr_bounding_box_init(&r, 0, 0, w->super.bb.w, (int16_t)(w->super.bb.h - w->content_bb_ydef));
    return r;
}

term_session_st *session_for(uint8_t nodeid)
{
    for (term_session_st &s : sessions)
        if (s.used && s.nodeid == nodeid) return &s;
    term_session_st *s = &sessions[0];
    for (term_session_st &f : sessions)
        if (!f.used) {
            s = &f;
            break;
        }
    s->used = true;
    s->nodeid = nodeid;
    s->rx_text[0] = 0;
    s->len = 0;
    s->pinned_bottom = true;
    return s;
}

// Moves the received characters into the shown session; true when any came.
bool drain_rx()
{
    bool any = false;
    kr_mutex_lock(&mutex);
    char c;
    while (kr_ring_buffer_pop(&rx_rb, &c) == ERR_NONE) {
        if (cur_session) terminaltab_text_append(cur_session->rx_text, &cur_session->len, c);
        any = true;
    }
    kr_mutex_unlock(&mutex);
    return any;
}

int32_t line_height()
{
    const int32_t h = kr_ui_get_string_height("A", &mono_font16);
    return h > 0 ? h : 16;
}

bool at_bottom() { return term_win.content_bb.y <= term_win.super.bb.h - term_win.content_bb.h; }

void rx_relayout()
{
    if (!built || !cur_session) return;
    const int16_t w = (int16_t)(term_win.super.bb.w - 6);
    kr_ui_wrap_text(cur_session->rx_text, &mono_font16, w, shown_text, sizeof shown_text);
    kr_uilabel_set_text(&term_label, shown_text);
    kr_ui_refresh(&term_label.super);
    int32_t h = kr_ui_get_string_height(shown_text, &mono_font16);
    if (h < term_win.super.bb.h) h = term_win.super.bb.h;
    if (h > INT16_MAX) h = INT16_MAX;
    term_label.super.bb.w = w;
    term_label.super.bb.h = (int16_t)h;
    const int16_t y = term_win.content_bb.y;
    kr_uiwindow_set_contentbb(&term_win, w, (int16_t)h);
    if (cur_session->pinned_bottom)
        kr_uiwindow_content_move_to(&term_win, 0, h - term_win.super.bb.h);
    else
        kr_uiwindow_content_move(&term_win, 0, y - term_win.content_bb.y); // keep, limited to the bottom
    kr_ui_refresh(&term_win.super);
}

void rx_wheel_scroll(int16_t notches)
{
    if (!cur_session) return;
    kr_uiwindow_content_move(&term_win, 0, (int32_t)notches * 3 * line_height());
    cur_session->pinned_bottom = at_bottom();
    kr_ui_refresh(&term_win.super);
}

bool wait_for_response()
{
    for (uint32_t waited = 0; waited < TERM_RESPONSE_MS; waited += 20) {
        if (responded) {
            responded = false;
            return true;
        }
        kr_rtos_task_delay(20);
    }
    static const char msg[] = "\n*** NO RESPONSE ***\n";
    kr_mutex_lock(&mutex);
    for (const char *p = msg; *p; ++p) kr_ring_buffer_push(&rx_rb, p);
    kr_mutex_unlock(&mutex);
    return false;
}

void tx_task(void *)
{
    for (;;) {
        if (sending_paused()) {
            kr_rtos_task_delay(50);
            continue;
        }
        char chunk[4];
        size_t n = 0;
        kr_mutex_lock(&mutex);
        const uint8_t node = term_nodeid;
        while (n < sizeof chunk && kr_ring_buffer_pop(&tx_rb, &chunk[n]) == ERR_NONE) n++;
        kr_mutex_unlock(&mutex);
        if (n == 0) {
            kr_rtos_task_delay(50);
            continue;
        }
        wait_for_response();
        while (sending_paused()) kr_rtos_task_delay(50);
        // Another device shown meanwhile: these characters were meant for the one before.
        if (node == 0 || node != term_nodeid) continue;
        kr_can_message_st msg;
        terminal_build_frame(&msg, node, chunk, n);
        kr_can_send_flags(dev.can_channel, &msg, CAN_SEND_FLAGS_NORMAL);
        kr_rtos_task_delay(5);
    }
}

void input_touch(kr_uiobject_st *o, kr_touch_st *t)
{
    // The keyboard closes only with Enter: a click that opened it is a line entered, changed or not.
    const bool click = t->action == TOUCH_CLICKED;
    if (input_touch_base) input_touch_base(o, t);
    if (click) input_entered = true;
}

} // namespace

extern "C" {

void terminaltab_text_append(char *text, size_t *len, char c)
{
    if (c == '\r') return;
    if (*len + 1 > TERM_TEXT_LEN) {
        std::memmove(text, text + TERM_TEXT_DROP, *len - TERM_TEXT_DROP);
        *len -= TERM_TEXT_DROP;
    }
    text[(*len)++] = c;
    text[*len] = 0;
}

void terminaltab_can_sniff(void *, const kr_can_message_st *msg)
{
    if (!inited || !msg || term_nodeid == 0 || !terminal_is_answer(msg, term_nodeid)) return;
    kr_mutex_lock(&mutex);
    for (uint8_t i = 4; i < msg->data_length && i < 8; i++) kr_ring_buffer_push(&rx_rb, &msg->data[i]);
    responded = true;
    kr_mutex_unlock(&mutex);
}

void terminaltab_init(void)
{
    if (inited) return;
    inited = true;
    kr_mutex_init(&mutex);
    kr_ring_buffer_init(&rx_rb, rx_buf, sizeof rx_buf, 1);
    kr_ring_buffer_init(&tx_rb, tx_buf, sizeof tx_buf, 1);
    responded = true;
    std::memset(&input, 0, sizeof input);
    kr_uitextedit_init(&input, input_buf, sizeof input_buf, UITEXTEDIT_FLAG_ONELINE | UITEXTEDIT_FLAG_CMDLINE,
                       &kr_uistyles[0]);
    input.super.font = &mono_font16;
    input.super.align = ALIGN_CENTER_LEFT;
    input_touch_base = input.super.super.vrtl_touch;
    input.super.super.vrtl_touch = input_touch;
    find_set_extra_can_callback(terminaltab_can_sniff);
    if (kr_rtos_task_create(tx_task, "term_tx", 10240, nullptr, 1, nullptr) != KR_RTOS_PASS) {
        job_error("The terminal's transmit task could not be started: typed lines are not sent.\n");
    }
}

void terminaltab_build(kr_uiwindow_st *parent, uint8_t nodeid)
{
    terminaltab_init();
    if (cur_session) drain_rx();
    kr_mutex_lock(&mutex);
    if (nodeid != term_nodeid) kr_ring_buffer_clear(&tx_rb); // unsent text was for the device before
    term_nodeid = nodeid;
    cur_session = session_for(nodeid);
    kr_mutex_unlock(&mutex);

    const kr_bounding_box_st cb = page_area(parent);
    const int16_t w = cb.w;
    int16_t t = (int16_t)(cb.h - 64);
    if (t < 40) t = 40;
    std::memset(&term_win, 0, sizeof term_win);
    kr_uiwindow_init(&term_win, term_win_buf, &kr_uistyles[0]);
    kr_uiwindow_set_transparent(&term_win, true);
    kr_uiwindow_addxy(parent, &term_win.super, 8, 8, (int16_t)(w - 16), t);
    std::memset(&term_label, 0, sizeof term_label);
    shown_text[0] = '\0';
    kr_uilabel_init(&term_label, &mono_font16, ALIGN_TOP_LEFT, kr_uistyles[0].text_color, shown_text);
    kr_uiwindow_addxy(&term_win, &term_label.super, 0, 0, (int16_t)(w - 22), t);
    kr_uiwindow_addxy(parent, &input.super.super, 8, (int16_t)(t + 16), (int16_t)(w - 16), 40);
    input_entered = false;
    built = true;
    rx_relayout();
}

void terminaltab_unbuild(void) { built = false; }

bool terminaltab_send_line(const char *line)
{
    if (!inited || !line) return false;
    if (term_nodeid == 0) {
        job_error("The terminal does not send to node 0: that would reach every node. Set the device's node id "
                  "first.\n");
        return false;
    }
    const size_t n = std::strlen(line);
    bool queued = false;
    kr_mutex_lock(&mutex);
    if (n + 1 <= (size_t)(tx_rb.buffer_size - tx_rb.element_count)) {
        for (size_t i = 0; i < n; i++) kr_ring_buffer_push(&tx_rb, &line[i]);
        const char nl = '\n';
        kr_ring_buffer_push(&tx_rb, &nl);
        queued = true;
    }
    kr_mutex_unlock(&mutex);
    return queued;
}

void terminaltab_step(bool focused)
{
    if (!built) return;
    if (drain_rx()) rx_relayout();
    if (input_entered) {
        input_entered = false;
        if (input_buf[0] && terminaltab_send_line(input_buf)) {
            input_buf[0] = 0;
            kr_ui_refresh(&input.super.super);
        }
    }
    if (focused) {
        const int16_t notches = kr_ui_get_scroll();
        if (notches != 0) rx_wheel_scroll(notches);
    }
}

const char *terminaltab_text(void) { return cur_session ? cur_session->rx_text : ""; }

} // extern "C"
