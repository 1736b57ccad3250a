// Widgets, containers, layouts and the keyboard under Xvfb: input through the back end's handlers
// and the event script, state read in the step walk, pixels read back in regions.
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ui/kr_uiacceptdialog.h"
#include "ui/kr_uicontainers.h"
#include "ui/kr_uidigitedit.h"
#include "ui/kr_uigauge.h"
#include "ui/kr_uitextedit.h"
#include "ui/kr_uiwidgets.h"
#include "ui_screen.h"
#include "ui_support.h"

// A click is CLICKED for exactly one step walk; a 2 s hold turns long-pressed and never clicks; a
// focused button takes a queued space, an unfocused one leaves it; a disabled one goes back up.
TEST(UiWidgets, ButtonClickLongPressKeysAndDisable)
{
    START_DISPLAY();
    screen s;
    static kr_uibutton_st b;
    std::memset(&b, 0, sizeof b);
    kr_uibutton_init(&b, "Go", nullptr);
    kr_uiwindow_addxy(&s.d.super, &b.super, 100, 100, 200, 80);
    s.ctx = &b;
    s.probe = [](screen *sc) { return (int)((kr_uibutton_st *)sc->ctx)->state; };

    s.click(150, 130, 2);
    EXPECT_EQ(count(s.seen, UIBUTTON_CLICKED), 1);
    EXPECT_GE(count(s.seen, UIBUTTON_PRESSED), 1);
    s.step(2);
    EXPECT_EQ(b.state, UIBUTTON_UP);

    s.seen.clear();
    s.click(150, 130, 110); // 2.2 s
    EXPECT_EQ(count(s.seen, UIBUTTON_CLICKED), 0);
    EXPECT_GE(count(s.seen, UIBUTTON_LONGPRESSED), 1);
    EXPECT_EQ(b.state, UIBUTTON_UP);

    // A drag away from the press never clicks.
    s.seen.clear();
    kr_ui_input_cursor(150, 130);
    kr_ui_input_button(true);
    s.step(2);
    kr_ui_input_cursor(190, 150);
    s.step(2);
    kr_ui_input_button(false);
    s.step(2);
    EXPECT_EQ(count(s.seen, UIBUTTON_CLICKED), 0);

    s.seen.clear();
    kr_ui_input_char(' ');
    s.step(1);
    EXPECT_EQ(count(s.seen, UIBUTTON_CLICKED), 0);
    kr_uiwindow_set_focus(&b.super);
    s.step(1);
    EXPECT_EQ(count(s.seen, UIBUTTON_CLICKED), 1);

    s.step(6); // past the dead time after the drag's release
    kr_ui_input_cursor(150, 130);
    kr_ui_input_button(true);
    s.step(4);
    EXPECT_EQ(b.state, UIBUTTON_PRESSED);
    kr_ui_set_enabled(&b.super, false);
    s.step(1);
    EXPECT_EQ(b.state, UIBUTTON_UP);
    kr_ui_input_button(false);
    s.step(2);
}

// List button wrap and index clamp; tabs hit-tested by width; a toggle flips; a check box draws a
// box twice the line height, filled when set.
TEST(UiWidgets, ListButtonTabsToggleAndCheckBox)
{
    START_DISPLAY();
    screen s;
    static const char *entries[] = {"one", "two", "three"};
    static kr_uilistbutton_st lb;
    std::memset(&lb, 0, sizeof lb);
    kr_uilistbutton_init(&lb, entries, 3, 5, nullptr);
    EXPECT_EQ(lb.current_index, 0);
    lb.current_index = 2;
    kr_uiwindow_addxy(&s.d.super, &lb.super.super, 0, 0, 200, 100);
    s.click(100, 50);
    EXPECT_EQ(lb.current_index, 0);
    EXPECT_STREQ(kr_uilistbutton_entry(&lb, lb.current_index), "one");
    static const char strings[] = "a\0\0bb\0ccc";
    lb.content = strings;
    lb.content_type = UILISTBUTTON_CONTENT_ARRAYOFSTRINGS;
    EXPECT_STREQ(kr_uilistbutton_entry(&lb, 1), "bb");
    EXPECT_STREQ(kr_uilistbutton_entry(&lb, 2), "ccc");
    kr_uiwindow_remove(&s.d.super, &lb.super.super);

    static const char *tabs[] = {"A", "Second", "Third"};
    static kr_uitabwindow_st tw;
    static kr_uiobject_st *tw_children[2];
    std::memset(&tw, 0, sizeof tw);
    kr_uitabwindow_init(&tw, 3, nullptr, tw_children, tabs);
    kr_uiwindow_addxy(&s.d.super, &tw.super.super, 0, 0, 1200, 300);
    s.ctx = &tw;
    s.probe = [](screen *sc) { return ((kr_uitabwindow_st *)sc->ctx)->tab_changed ? 1 : 0; };
    s.click(95, 10);
    EXPECT_EQ(tw.active_tab, 1);
    EXPECT_EQ(count(s.seen, 1), 1);
    s.click(1100, 10); // right of the last tab
    EXPECT_EQ(tw.active_tab, 1);
    s.click(50, 10);
    EXPECT_EQ(tw.active_tab, 0);
    kr_uiwindow_remove(&s.d.super, &tw.super.super);
    s.probe = nullptr;

    static kr_uitogglebutton_st tg;
    std::memset(&tg, 0, sizeof tg);
    kr_uitogglebutton_init(&tg, false, "T", nullptr);
    kr_uiwindow_addxy(&s.d.super, &tg.super.super, 400, 400, 100, 60);
    s.click(450, 430);
    EXPECT_TRUE(tg.state);

    static kr_uistyle_st style = kr_uistyles[0];
    style.fg_c = 0xFF00FF00;
    style.bg_c = 0xFF0000FF;
    style.font = &font16; // line height 16: a 32 px box
    static kr_uicheckbox_st cb;
    std::memset(&cb, 0, sizeof cb);
    kr_uicheckbox_init(&cb, true, "", &style);
    kr_uiwindow_addxy(&s.d.super, &cb.super.super.super, 600, 400, 200, 40);
    s.redraw();
    // Box rows 404..435; the green fill 6 px inside it.
    EXPECT_TRUE(uitest::region_is(610, 412, 624, 426, 0xFF00FF00));
    EXPECT_EQ(uitest::count_in_region(600, 396, 640, 403, 0xFF0000FF, 10), 0);
    EXPECT_GT(uitest::count_in_region(600, 404, 640, 436, 0xFF0000FF, 40), 100);
    s.click(610, 420);
    s.redraw();
    EXPECT_FALSE(cb.super.state);
    EXPECT_EQ(uitest::count_in_region(610, 412, 624, 426, 0xFF00FF00), 0);
}

// Layout cells, the grid, a one-active tree scrolled to the opened header, and a list hit-tested
// where its entries are drawn (49 px apart).
TEST(UiWidgets, LayoutsTreeAndList)
{
    START_DISPLAY();
    kr_uistrlayout_st l;
    kr_uistrlayout_init(&l, "#3can|#2baud\n#3vcanname|#2vcanbtn\nvcanstatus\n#4nc|close", 0, 0, 1200, 720, 5, 5);
    kr_bounding_box_st r = kr_uistrlayout_find(&l, "baud");
    EXPECT_EQ(r.x, 725);
    EXPECT_EQ(r.y, 5);
    EXPECT_EQ(r.w, 470);
    EXPECT_EQ(r.h, 170);
    r = kr_uistrlayout_find(&l, "close");
    EXPECT_EQ(r.x, 965);
    EXPECT_EQ(r.y, 545);
    EXPECT_EQ(r.w, 230);
    r = kr_uistrlayout_find(&l, "vcanstatus");
    EXPECT_EQ(r.w, 1190);
    r = kr_uistrlayout_find(&l, "missing");
    EXPECT_TRUE(r.x == 0 && r.y == 0 && r.w == 0 && r.h == 0);
    EXPECT_FALSE(kr_uistrlayout_contains(&l, "can1"));
    EXPECT_TRUE(kr_uistrlayout_contains(&l, "nc"));
    kr_uistrlayout_init(&l, "#V#a|b\nc", 0, 0, 100, 200, 0, 0);
    r = kr_uistrlayout_find(&l, "b");
    EXPECT_EQ(r.x, 0);
    EXPECT_EQ(r.y, 100);
    EXPECT_EQ(r.w, 50);
    kr_uistrlayout_init(&l, "#2a|b", 0, 0, 1200, 720, 5, 5);
    r = kr_uistrlayout_find(&l, "a");
    EXPECT_EQ(r.w, 790);
    EXPECT_EQ(kr_uistrlayout_find(&l, "b").x, 805);

    kr_uigridlayout_st g;
    kr_uigridlayout_init(&g, 0, 0, 100, 100, 2, 2);
    const int want[4][2] = {{0, 0}, {50, 0}, {0, 50}, {50, 50}};
    for (auto &w : want) {
        r = kr_uigridlayout_next(&g);
        EXPECT_EQ(r.x, w[0]);
        EXPECT_EQ(r.y, w[1]);
        EXPECT_EQ(r.w, 50);
    }
    r = kr_uigridlayout_next(&g);
    EXPECT_TRUE(r.x == 0 && r.w == 0 && r.h == 0);

    screen s;
    static kr_uitreeview_st tv;
    static kr_uiobject_st *tv_children[4];
    static kr_uitreeobject_st items[3];
    static kr_uiobject_st *item_children[3][2];
    std::memset(&tv, 0, sizeof tv);
    std::memset(items, 0, sizeof items);
    kr_uitreeview_init(&tv, tv_children, nullptr);
    kr_uiwindow_addxy(&s.d.super, &tv.super.super, 0, 0, 600, 400);
    const char *names[] = {"first", "second", "third"};
    for (int i = 0; i < 3; ++i) {
        kr_uitreeobject_init(&items[i], item_children[i], names[i], nullptr, nullptr);
        kr_uitreeview_add(&tv.super, &items[i], 300, i == 0);
    }
    EXPECT_TRUE(items[0].open);
    EXPECT_EQ(items[1].super.super.bb.y, 340);
    s.click(100, 360); // the header of "second"
    EXPECT_FALSE(items[0].open);
    EXPECT_TRUE(items[1].open);
    EXPECT_EQ(items[1].super.super.bb.y, 40);
    EXPECT_EQ(tv.super.content_bb.h, 40 + 340 + 40);
    EXPECT_EQ(tv.super.content_bb.y, -20); // as far as the content allows: 420 - 400
    kr_uitreeview_open(&tv.super, &items[2]);
    EXPECT_FALSE(items[1].open);
    EXPECT_EQ(tv.super.content_bb.y, -20);
    kr_uiwindow_remove(&s.d.super, &tv.super.super);

    static kr_uilist_st list;
    static kr_uilist_entry_st buf[20];
    std::memset(&list, 0, sizeof list);
    kr_uilist_init(&list, buf, 20, nullptr);
    list.align = ALIGN_TOP_CENTER;
    static char texts[14][8];
    for (int i = 0; i < 14; ++i) {
        std::snprintf(texts[i], sizeof texts[i], "e%d", i);
        kr_uilist_entry_st e{texts[i]};
        kr_uilist_push_back(&list, &e);
    }
    EXPECT_EQ(list.super.bb.h, 14 * 50); // grown by push_back
    kr_uiwindow_addxy(&s.d.super, &list.super, 0, 0, 300, 700);
    s.click(100, 12 * 49 + 2); // near the top of entry 12 as drawn
    EXPECT_EQ(list.selected_index, 12);
    s.click(100, 49 * 3 + 25);
    EXPECT_EQ(list.selected_index, 3);
}

// Colour codes by pixels: code 31 paints the word red, code 0 returns to the label's colour; a run
// of digits saturates instead of wrapping onto a code; a sequence without digits changes nothing.
TEST(UiWidgets, LabelColourCodes)
{
    START_DISPLAY();
    color_t c = 0xFF123456;
    const char *rest = kr_uilabel_parse_sgr("4294967327mX", 0xFFFFFFFF, &c); // 2^32 + 31
    EXPECT_EQ(c, 0xFF123456u);
    EXPECT_STREQ(rest, "X");
    rest = kr_uilabel_parse_sgr(";mY", 0xFFFFFFFF, &c);
    EXPECT_EQ(c, 0xFF123456u);
    EXPECT_STREQ(rest, "Y");
    rest = kr_uilabel_parse_sgr("1;94mZ", 0xFFFFFFFF, &c);
    EXPECT_EQ(c, 0xFF4878E0u);
    rest = kr_uilabel_parse_sgr("32", 0xFFFFFFFF, &c);
    EXPECT_EQ(c, 0xFF30B030u);
    EXPECT_EQ(*rest, 0);

    screen s;
    static kr_uilabel_st lab;
    std::memset(&lab, 0, sizeof lab);
    kr_uilabel_init(&lab, &font36, ALIGN_TOP_LEFT, 0xFF00FFFF, "\x1b[31mMMMMMM\x1b[0mMMMMMM\x1b[4294967327mMMMMMM");
    kr_uiwindow_addxy(&s.d.super, &lab.super, 20, 100, 1100, 60);
    s.redraw();
    const int w = kr_ui_get_string_width("MMMMMM", &font36);
    EXPECT_GT(uitest::count_in_region(20, 100, 20 + w, 160, 0xFFE02020, 40), 100);
    EXPECT_EQ(uitest::count_in_region(20, 100, 20 + w, 160, 0xFF00FFFF, 40), 0);
    EXPECT_GT(uitest::count_in_region(20 + w, 100, 20 + 2 * w, 160, 0xFF00FFFF, 40), 100);
    EXPECT_EQ(uitest::count_in_region(20 + w, 100, 20 + 2 * w, 160, 0xFFE02020, 40), 0);
    EXPECT_EQ(uitest::count_in_region(20 + 2 * w + 4, 100, 20 + 3 * w, 160, 0xFFE02020, 40), 0);

    static kr_uidigit_st dg;
    std::memset(&dg, 0, sizeof dg);
    kr_uidigit_init(&dg, &font16, ALIGN_CENTER, 0xFFFFFFFF, "%d.%d", 7);
    EXPECT_STREQ(dg.super.str, "7.0");
    dg.divider = 10;
    kr_uidigit_set_value(&dg, -15);
    EXPECT_STREQ(dg.super.str, "-1.5");
    kr_uidigit_set_value(&dg, 15);
    EXPECT_STREQ(dg.super.str, "1.5");
    kr_uidigit_set_value(&dg, INT32_MIN);
    EXPECT_STREQ(dg.super.str, "-214748364.8");
}

// The keyboard's edits: capitals only first, whole characters removed, room checked per key, a
// stray continuation byte at the start never walked past, and cuts at character boundaries.
TEST(UiKeyboard, EditsAndCuts)
{
    START_DISPLAY();
    char buf[16] = "";
    kr_uikeyboard_st kb;
    std::memset(&kb, 0, sizeof kb);
    kb.autocaps = true;
    kb.buffer = buf;
    kb.style = &kr_uistyles[0];
    kr_uikeyboard_apply(&kb, 20, sizeof buf); // a
    kr_uikeyboard_apply(&kb, 33, sizeof buf); // b
    EXPECT_STREQ(buf, "Ab");
    kr_uikeyboard_apply(&kb, 37, sizeof buf); // ö
    EXPECT_STREQ(buf, "Ab\xc3\xb6");
    kr_uikeyboard_apply(&kb, KEY_BACKSPACE, sizeof buf);
    EXPECT_STREQ(buf, "Ab");
    kr_uikeyboard_apply(&kb, KEY_SHIFT, sizeof buf);
    kr_uikeyboard_apply(&kb, 0, sizeof buf); // "1" shifted
    EXPECT_STREQ(buf, "Ab/");
    EXPECT_TRUE(kr_uikeyboard_apply(&kb, KEY_ENTER, sizeof buf));

    char small[4] = "ab";
    kb.buffer = small;
    kb.shift = kb.autocaps = false;
    kr_uikeyboard_apply(&kb, 36, sizeof small); // ä needs two bytes: refused
    EXPECT_STREQ(small, "ab");
    kr_uikeyboard_apply(&kb, 22, sizeof small);
    EXPECT_STREQ(small, "abd");
    kr_uikeyboard_apply(&kb, 23, sizeof small);
    EXPECT_STREQ(small, "abd");

    // A heap buffer that starts with a continuation byte: ASan sees any write before it.
    std::vector<char> heap = {'\xb0', '\xb0', 'x', 0};
    kb.buffer = heap.data();
    for (int i = 0; i < 4; ++i) kr_uikeyboard_apply(&kb, KEY_BACKSPACE, (uint16_t)heap.size());
    EXPECT_STREQ(heap.data(), "");
    EXPECT_TRUE(kb.autocaps);

    EXPECT_EQ(kr_uikeyboard_key_at(150, 449), 20);
    EXPECT_EQ(kr_uikeyboard_key_at(1100, 233), KEY_BACKSPACE);
    EXPECT_EQ(kr_uikeyboard_key_at(1125, 300), KEY_ENTER);
    EXPECT_EQ(kr_uikeyboard_key_at(1125, 594), KEY_SHIFT);
    EXPECT_EQ(kr_uikeyboard_key_at(1050 + 149, 287 + 216), KEY_ENTER);
    EXPECT_EQ(kr_uikeyboard_key_at(100, 650), KEY_NONE);
    EXPECT_EQ(kr_uikeyboard_key_at(120, 650), KEY_SPACE);

    static kr_uitextedit_st te;
    std::memset(&te, 0, sizeof te);
    char tbuf[6] = "";
    kr_uitextedit_init(&te, tbuf, sizeof tbuf, UITEXTEDIT_FLAG_ONELINE, nullptr);
    kr_uitextedit_set_text(&te, "abcd\xc3\xa4xyz"); // ä would straddle the end
    EXPECT_STREQ(tbuf, "abcd");
    kr_uitextedit_set_text(&te, "ab\ncd");
    EXPECT_STREQ(tbuf, "ab");
    char full[4] = {'a', 'b', 'c', 'd'}; // no terminator: emptied
    kr_uitextedit_init(&te, full, sizeof full, 0, nullptr);
    EXPECT_EQ(full[0], 0);
}

namespace {

using uitest::script_click;
using uitest::script_idle;

constexpr int KEY_A[2] = {150, 449}, KEY_B[2] = {550, 557}, KEY_C[2] = {350, 557}, KEY_BS[2] = {1100, 233},
              KEY_EN[2] = {1125, 449};

// Clicks the field; the keyboard that opens in the release step plays the script.
void open_field(screen &s, int x, int y, std::initializer_list<const int *> keys)
{
    kr_ui_script_clear();
    s.step(6);
    kr_ui_input_cursor(x, y);
    kr_ui_input_button(true);
    s.step(3);
    script_idle(1); // taken by the field's own release step
    for (const int *k : keys) script_click(k[0], k[1]);
    kr_ui_input_button(false);
    s.step(1);
}

} // namespace

// End to end through the event script: clicking the field opens the keyboard; a, b and Enter give
// "Ab" and one step with changed set; typing and deleting a letter leaves changed false although a
// stale byte after the text differs; the screen beneath shows again.
TEST(UiKeyboard, FieldThroughTheKeyboard)
{
    START_DISPLAY();
    screen s;
    static uiw::box back;
    uiw::box_init(&back, 0xFF0000FF);
    kr_uiwindow_addxy(&s.d.super, &back.super, 0, 300, 1200, 420);
    static kr_uitextedit_st te;
    std::memset(&te, 0, sizeof te);
    static char tbuf[16];
    std::memset(tbuf, 0, sizeof tbuf);
    kr_uitextedit_init(&te, tbuf, sizeof tbuf, UITEXTEDIT_FLAG_ONELINE, nullptr);
    kr_uiwindow_addxy(&s.d.super, &te.super.super, 100, 100, 400, 80);
    s.ctx = &te;
    s.probe = [](screen *sc) { return ((kr_uitextedit_st *)sc->ctx)->changed ? 1 : 0; };

    open_field(s, 200, 140, {KEY_A, KEY_B, KEY_EN});
    EXPECT_STREQ(tbuf, "Ab");
    EXPECT_EQ(count(s.seen, 1), 1);
    EXPECT_EQ(kr_ui_script_pending(), 0u);
    s.step(1);
    EXPECT_FALSE(te.changed);
    EXPECT_TRUE(uitest::region_is(0, 600, 1200, 700, 0xFF0000FF));

    s.seen.clear();
    std::memset(tbuf + 3, 'z', 12); // stale bytes after the text
    open_field(s, 200, 140, {KEY_C, KEY_BS, KEY_EN});
    EXPECT_STREQ(tbuf, "Ab");
    EXPECT_EQ(tbuf[3], 0); // a stale byte did change
    EXPECT_EQ(count(s.seen, 1), 0);
    s.step(1);
    EXPECT_TRUE(uitest::region_is(0, 600, 1200, 700, 0xFF0000FF));
}

// The accept dialog answers by the button clicked: right is no, left is yes; the same caption on
// both still returns; the dialog covers the screen and leaves it to be drawn again; its text stays
// readable.
TEST(UiAcceptDialog, AnswersByButtonAndShowsTheWholeQuestion)
{
    START_DISPLAY();
    kr_ui_script_clear();
    kr_ui_input_button(false);
    static kr_uiacceptdialog_st dlg;
    script_click(900, 600);
    EXPECT_EQ(kr_uiacceptdialog_exec(&dlg, "Update?\n\nA new version is there.", "Update", "Not now", nullptr),
              UIACCEPTDIALOG_RET_NO);
    EXPECT_EQ(kr_ui_script_pending(), 0u);
    script_click(300, 600);
    EXPECT_EQ(kr_uiacceptdialog_exec(&dlg, "Saved.", "OK", "OK", nullptr), UIACCEPTDIALOG_RET_YES);
    EXPECT_EQ(kr_ui_script_pending(), 0u);
    EXPECT_TRUE(kr_ui_get_refresh_request());

    // A question wider than the screen wraps inside it, an empty line between paragraphs keeps its
    // height, and an em dash reads as a dash, not as "?".
    auto shown = [](const char *text) {
        script_click(300, 600);
        kr_uiacceptdialog_exec(&dlg, text, "Yes", "No", nullptr);
    };
    std::string wide = "Flash firmware package 'pump.krdev' to the device at node 0x20?";
    for (int i = 0; i < 4; i++) wide += " The device will be reset and must not be powered off during flashing.";
    shown(wide.c_str());
    EXPECT_GT(uitest::count_in_region(20, 0, 1180, 480, 0xFFFFFFFF, 60), 0);
    EXPECT_EQ(uitest::count_in_region(0, 0, 12, 480, 0xFFFFFFFF, 60), 0) << "cut at the left edge";
    EXPECT_EQ(uitest::count_in_region(1188, 0, 1200, 480, 0xFFFFFFFF, 60), 0) << "cut at the right edge";

    shown("Top\n\nBottom");
    std::vector<int> rows;
    for (int y = 0; y < 480; y++)
        if (uitest::count_in_region(0, y, 1200, y + 1, 0xFFFFFFFF, 60) > 0) rows.push_back(y);
    int gap = 0;
    for (size_t i = 1; i < rows.size(); i++) gap = std::max(gap, rows[i] - rows[i - 1]);
    EXPECT_GT(gap, (int)font16.char_height / 2) << "the empty line between the paragraphs";

    shown("x\u2014x");
    const int dash = uitest::count_in_region(0, 0, 1200, 480, 0xFFFFFFFF, 60);
    shown("x-x");
    EXPECT_EQ(dash, uitest::count_in_region(0, 0, 1200, 480, 0xFFFFFFFF, 60));
}

// The numpad's editing: limits checked before narrowing so digits and value always agree, zeros
// stripped, the sign bounded by the limits; the digit edit's texts, clamps and signed fractions.
TEST(UiNumpad, EditingAndDigitEditTexts)
{
    START_DISPLAY();
    kr_uinumpad_st np;
    std::memset(&np, 0, sizeof np);
    kr_uinumpad_init(&np, "n", nullptr);
    np.limit_min = 1;
    np.limit_max = 127;
    for (char c : {'2', '0', '0'}) kr_uinumpad_append(&np, c);
    EXPECT_STREQ(np.value_str, "20");
    EXPECT_EQ(np.value, 20);
    kr_uinumpad_init(&np, "n", nullptr);
    np.limit_max = 127;
    kr_uinumpad_append(&np, '0');
    EXPECT_STREQ(np.value_str, "");
    EXPECT_FALSE(kr_uinumpad_delete(&np));

    for (uint8_t flags : {UINUMPAD_FLAGS_NONE, UINUMPAD_FLAGS_HEX}) {
        kr_uinumpad_init(&np, "n", nullptr);
        np.flags = flags;
        np.limit_min = INT32_MIN;
        np.limit_max = INT32_MAX;
        for (int i = 0; i < 20; ++i) kr_uinumpad_append(&np, flags ? 'F' : '9');
        EXPECT_EQ(std::strtoll(np.value_str, nullptr, flags ? 16 : 10), (long long)np.value) << np.value_str;
        EXPECT_EQ(std::strlen(np.value_str), flags ? 7u : 9u);
        np.sign = -1;
        kr_uinumpad_apply_sign(&np);
        EXPECT_EQ(np.value_str[0], '-');
        EXPECT_EQ(std::strtoll(np.value_str, nullptr, flags ? 16 : 10), (long long)np.value);
        EXPECT_LT(std::strlen(np.value_str), (size_t)NUMPAD_VALUE_STR_LEN);
    }
    kr_uinumpad_init(&np, "n", nullptr);
    np.limit_min = -3;
    kr_uinumpad_append(&np, '5');
    np.sign = -1;
    kr_uinumpad_apply_sign(&np); // -5 is below the minimum: stays positive
    EXPECT_STREQ(np.value_str, "5");
    EXPECT_EQ(np.sign, 1);

    static kr_uidigitedit_st de;
    std::memset(&de, 0, sizeof de);
    kr_uidigitedit_init(&de, 127, nullptr);
    kr_uidigitedit_set_hex(&de, true);
    kr_uidigitedit_set_limits(&de, 1, 127);
    EXPECT_STREQ(de.str, "0x7f ");
    kr_uidigitedit_set_value(&de, 500);
    EXPECT_EQ(de.value, 127);
    kr_uidigitedit_set_hex(&de, false);
    kr_uidigitedit_set_limits(&de, -100, 100);
    kr_uidigitedit_set_divider(&de, 10);
    kr_uidigitedit_set_value(&de, -5);
    EXPECT_STREQ(de.str, "-0.5 ");
    kr_uidigitedit_set_unit(&de, "degrees C long");
    kr_uidigitedit_set_value(&de, -95);
    EXPECT_STREQ(de.str, "-9.5 degrees C "); // bounded to the field
    kr_uidigitedit_set_unit(&de, "x\u00b0\u00b0\u00b0\u00b0\u00b0");
    kr_uidigitedit_set_value(&de, -94);
    EXPECT_STREQ(de.str, "-9.4 x\u00b0\u00b0\u00b0\u00b0") << "no half character at the cut";

    static kr_uidigit_st top; // the sanitizer ends the test on an overflow
    std::memset(&top, 0, sizeof top);
    kr_uidigit_init(&top, &font16, 0, 0xFFFFFFFF, "%d", INT32_MAX);
    EXPECT_STREQ(top.str, "2147483647");
}

// The numpad dialog by touch and keys, and an increment field held at its maximum.
TEST(UiNumpad, DialogAndIncrementHold)
{
    START_DISPLAY();
    kr_ui_script_clear();
    script_click(200, 650); // Back on an empty numpad: cancelled
    EXPECT_EQ(kr_uinumpaddialog_exec("t", 127, 1, 42, UINUMPAD_FLAGS_NONE, nullptr), 42);
    // Nothing typed yet: the value being changed shows in the number's place (no title here).
    script_click(200, 650);
    EXPECT_EQ(kr_uinumpaddialog_exec(nullptr, 127, 1, 0x20, UINUMPAD_FLAGS_HEX, nullptr), 0x20);
    EXPECT_GT(uitest::count_in_region(0, 0, 1200, 144, kr_uic_brighten(0xFFFFFFFF, -110), 40), 0);
    script_click(300, 650);  // +/-
    script_click(600, 360);  // 5
    script_click(1000, 650); // OK
    EXPECT_EQ(kr_uinumpaddialog_exec("t", 100, -100, 42, UINUMPAD_FLAGS_NONE, nullptr), -5);
    script_idle(2);
    kr_ui_script_push(KR_UI_EV_CHAR, '1', 0);
    kr_ui_script_push(KR_UI_EV_CHAR, '2', 0);
    kr_ui_script_push(KR_UI_EV_KEY, GLFW_KEY_ENTER, 0);
    script_idle(1);
    EXPECT_EQ(kr_uinumpaddialog_exec("t", 100, 0, 42, UINUMPAD_FLAGS_NONE, nullptr), 12);
    EXPECT_EQ(kr_ui_script_pending(), 0u);

    screen s;
    static kr_uidigitedit_st de;
    std::memset(&de, 0, sizeof de);
    kr_uidigitedit_init(&de, 0x7FFFFFFE, nullptr);
    kr_uidigitedit_set_mode(&de, UIDIGITEDIT_MODE_INCDEC);
    kr_uiwindow_addxy(&s.d.super, &de.super.super, 100, 100, 400, 60);
    s.ctx = &de;
    s.probe = [](screen *sc) { return (int)((kr_uidigitedit_st *)sc->ctx)->value; };
    s.click(480, 130, 40); // plus held 800 ms
    for (int v : s.seen) EXPECT_GE(v, 0x7FFFFFFE);
    EXPECT_EQ(de.value, 0x7FFFFFFF);
    s.click(300, 130, 5); // the middle: nothing
    EXPECT_EQ(de.value, 0x7FFFFFFF);
    kr_uidigitedit_set_value(&de, 100);
    s.click(110, 130, 1); // minus once
    EXPECT_EQ(de.value, 99);
    s.seen.clear();
    s.click(110, 130, 20); // 250 ms, then every 30 ms
    EXPECT_LT(de.value, 97);
    EXPECT_GT(de.value, 80);
}

// The gauge fills its arc to the value's angle (50 of 0..100: straight up) and nothing below the
// minimum; a slider held left of its handle steps to the multiple below, then by steps after 250 ms;
// a slider no longer than its handle ignores drags.
TEST(UiGauge, ArcAndSliderRepeat)
{
    START_DISPLAY();
    screen s;
    static kr_uistyle_st style = kr_uistyles[0];
    style.fg_c = 0xFF00FF00;
    static kr_uigauge_st g;
    std::memset(&g, 0, sizeof g);
    kr_uigauge_init(&g, 0, 100, 0xFF0000FF, &style);
    kr_uigauge_set_value(&g, 50);
    EXPECT_EQ(kr_uigauge_angle(&g, 50), 90);
    EXPECT_EQ(kr_uigauge_angle(&g, -20), 180);
    kr_uiwindow_addxy(&s.d.super, &g.super, 100, 100, 400, 220);
    s.redraw();
    const int cx = 300, cy = 316; // radius 198, hole 180
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(cx - 189, cy - 5), 0xFF00FF00, 40));
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(cx - 12, cy - 189), 0xFF00FF00, 40));
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(cx + 12, cy - 189), 0xFF505050, 40));
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(cx + 189, cy - 5), 0xFF505050, 40));
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(cx, cy - 100), 0xFF0000FF, 40)); // the hole
    kr_uigauge_set_value(&g, -5);
    s.redraw();
    EXPECT_TRUE(uitest::near(kr_ui_captured_pixel(cx - 189, cy - 5), 0xFF505050, 40));
    kr_uiwindow_remove(&s.d.super, &g.super);

    static kr_uislider_st sl;
    std::memset(&sl, 0, sizeof sl);
    kr_uislider_init(&sl, 0, 100, 13, nullptr);
    sl.inc_step = 10;
    kr_uiwindow_addxy(&s.d.super, &sl.super, 100, 400, 600, 40);
    s.ctx = &sl;
    s.probe = [](screen *sc) { return (int)((kr_uislider_st *)sc->ctx)->cur_val; };
    s.step(6);
    kr_ui_input_cursor(120, 420);
    kr_ui_input_button(true);
    s.step(6); // 120 ms
    EXPECT_EQ(sl.cur_val, 10);
    s.step(12); // past 250 ms
    EXPECT_EQ(sl.cur_val, 0);
    kr_ui_input_button(false);
    s.step(2);
    EXPECT_GE(count(s.seen, 10), 8); // held at 10 through the first 250 ms
    EXPECT_EQ(count(s.seen, 0) + count(s.seen, 10) + count(s.seen, 13), (int)s.seen.size()); // no other values
    for (size_t i = 1; i < s.seen.size(); ++i) EXPECT_LE(s.seen[i], s.seen[i - 1]);

    static kr_uislider_st tiny;
    std::memset(&tiny, 0, sizeof tiny);
    kr_uislider_init(&tiny, 0, 100, 50, nullptr);
    kr_uiwindow_addxy(&s.d.super, &tiny.super, 800, 400, 40, 40);
    s.step(6);
    kr_ui_input_cursor(820, 420);
    kr_ui_input_button(true);
    s.step(2); // the held step moves it once
    const int16_t before_drag = tiny.cur_val;
    kr_ui_input_cursor(835, 420);
    s.step(2);
    kr_ui_input_cursor(839, 420);
    s.step(2);
    kr_ui_input_button(false);
    s.step(2);
    EXPECT_EQ(tiny.cur_val, before_drag);
}
