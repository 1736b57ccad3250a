// The System tab's device tab bar: labels, state dots, shortening when the tabs do not fit, and
// the hit-testing that must agree with what is drawn.
#include <cstdio>
#include <cstring>

#include "krui_internal.h"

namespace {

const char *const overview_name = "Overview";
const char *const add_name = "New device (+)";

int32_t text_w(const char *s, const ui_font_st *font) { return *s ? kr_ui_get_string_width(s, font) : 0; }

void copy_cut(char *dst, size_t dst_len, const char *src, size_t max_chars)
{
    size_t n = strnlen(src, max_chars);
    if (n > dst_len - 1) n = dst_len - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// Bytes of the UTF-8 character that starts at p (1 for a stray byte).
size_t char_len(const char *p)
{
    const unsigned char c = (unsigned char)*p;
    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    for (size_t i = 1; i < n; ++i)
        if (((unsigned char)p[i] & 0xC0) != 0x80) return i;
    return n;
}

int32_t full_width(const krui_tabbar_st *bar, uint16_t tab)
{
    const int32_t w = krui_tab_dot_space(bar, tab) + text_w(bar->names[tab], bar->font) + 10;
    return w > KRUI_TAB_MIN_W ? w : KRUI_TAB_MIN_W;
}

void draw_dot(const krui_tabbar_st *bar, uint16_t tab, int32_t x, int32_t y, color_t hole)
{
    color_t c;
    if (!krui_tab_dot_color(bar, tab, &c)) return;
    kr_ui_draw_point(x + 12, y + 20, c, 12);
    // A device without a package shows a hollow dot.
    if (bar->system->devs[tab - 1].filepath[0] == '\0') kr_ui_draw_point(x + 12, y + 20, hole, 6);
}

} // namespace

void krui_populate_tab_names(krui_tabbar_st *bar, const system_st *system)
{
    bar->system = system;
    uint16_t n = 0;
    copy_cut(bar->names[n++], KRUI_TAB_NAME_LEN, overview_name, KRUI_TAB_NAME_LEN);
    const uint8_t count = system->dev_count < SYSTEM_MAX_DEVICES ? system->dev_count : SYSTEM_MAX_DEVICES;
    for (uint8_t i = 0; i < count; ++i) {
        const device_st &d = system->devs[i];
        const char *base = (d.filepath[0] || d.devname[0] == '\0') ? d.name : d.devname;
        char *out = bar->names[n++];
        if (d.nodeid == 0) {
            copy_cut(out, KRUI_TAB_NAME_LEN, base, KRUI_TAB_NAME_LEN - 1);
            continue;
        }
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, "_0x%x", (unsigned)d.nodeid);
        const size_t sl = std::strlen(suffix);
        char cut[96];
        copy_cut(cut, sizeof cut, base, 95);
        size_t len = std::strlen(cut);
        while (len >= sl && std::memcmp(cut + len - sl, suffix, sl) == 0) len -= sl;
        cut[len] = '\0';
        std::snprintf(out, KRUI_TAB_NAME_LEN, "%s%s", cut, suffix);
    }
    if (system->dev_count < SYSTEM_MAX_DEVICES) {
        bar->add_index = (int16_t)n;
        copy_cut(bar->names[n++], KRUI_TAB_NAME_LEN, add_name, KRUI_TAB_NAME_LEN);
    } else {
        bar->add_index = -1;
    }
    bar->count = n;
    for (uint16_t i = 0; i < n; ++i) std::memcpy(bar->display[i], bar->names[i], KRUI_TAB_NAME_LEN);
}

color_t krui_dot_color_for_state(dev_state_e state)
{
    switch (state) {
    case DEV_STATE_BOOTUP: return 0xFFF7E98A;
    case DEV_STATE_PREOP: return 0xFFF2C200;
    case DEV_STATE_OP: return 0xFF22B14C;
    default: return 0xFF888888;
    }
}

bool krui_tab_dot_color(const krui_tabbar_st *bar, uint16_t tab, color_t *color)
{
    if (tab == 0 || !bar->system || tab > bar->system->dev_count || tab >= bar->count) return false;
    if (color) *color = krui_dot_color_for_state(bar->system->devs[tab - 1].state);
    return true;
}

int32_t krui_tab_dot_space(const krui_tabbar_st *bar, uint16_t tab)
{
    return krui_tab_dot_color(bar, tab, nullptr) ? KRUI_DOT_SPACE : 0;
}

int32_t krui_tab_width_of(const krui_tabbar_st *bar, uint16_t tab)
{
    const int32_t w = krui_tab_dot_space(bar, tab) + text_w(bar->display[tab], bar->font) + 10;
    return w > KRUI_TAB_MIN_W ? w : KRUI_TAB_MIN_W;
}

void krui_shorten_to_width(const char *src, const ui_font_st *font, int32_t limit, char *dst, size_t dst_len)
{
    if (!dst || dst_len == 0) return;
    if (text_w(src, font) <= limit) {
        copy_cut(dst, dst_len, src, KRUI_TAB_NAME_LEN - 1);
        return;
    }
    const int32_t dots = text_w("...", font);
    const size_t max_prefix = dst_len >= 4 ? dst_len - 4 : 0;
    char prefix[KRUI_TAB_NAME_LEN] = "";
    size_t len = 0;
    while (src[len]) {
        const size_t cl = char_len(src + len);
        if (len + cl > KRUI_TAB_NAME_LEN - 1 || len + cl > max_prefix) break;
        char trial[KRUI_TAB_NAME_LEN];
        std::memcpy(trial, src, len + cl);
        trial[len + cl] = '\0';
        if (dots + text_w(trial, font) > limit) break;
        len += cl;
        std::memcpy(prefix, trial, len + 1);
    }
    if (dst_len < 4) {
        dst[0] = '\0';
        return;
    }
    std::snprintf(dst, dst_len, "%s...", prefix);
}

namespace {

// A device label is shortened before its node id, so that two tabs never read alike.
void shorten_label(krui_tabbar_st *bar, uint16_t tab, int32_t limit)
{
    const char *name = bar->names[tab];
    const char *id = krui_tab_dot_space(bar, tab) ? std::strstr(name, "_0x") : nullptr;
    while (id && std::strstr(id + 1, "_0x")) id = std::strstr(id + 1, "_0x");
    if (!id || id == name) {
        krui_shorten_to_width(name, bar->font, limit, bar->display[tab], KRUI_TAB_NAME_LEN);
        return;
    }
    char base[KRUI_TAB_NAME_LEN], cut[KRUI_TAB_NAME_LEN];
    copy_cut(base, sizeof base, name, (size_t)(id - name));
    krui_shorten_to_width(base, bar->font, limit - text_w(id, bar->font), cut, sizeof cut);
    std::snprintf(bar->display[tab], KRUI_TAB_NAME_LEN, "%s%s", cut, id);
}

bool pinned(const krui_tabbar_st *bar, uint16_t tab) { return bar->add_pinned && (int32_t)tab == bar->add_index; }

} // namespace

void krui_compute_tab_display(krui_tabbar_st *bar, uint16_t active)
{
    bar->scroll = 0;
    bar->add_pinned = false;
    bar->arrows = false;
    int32_t total = 0;
    for (uint16_t i = 0; i < bar->count; ++i) total += full_width(bar, i);
    if (total <= bar->width) {
        for (uint16_t i = 0; i < bar->count; ++i) copy_cut(bar->display[i], KRUI_TAB_NAME_LEN, bar->names[i], 127);
        return;
    }
    auto kept = [&](uint16_t i) { return i == 0 || i == active || (int32_t)i == bar->add_index; };
    int32_t kept_w = 0, others = 0;
    for (uint16_t i = 0; i < bar->count; ++i) {
        if (kept(i)) {
            kept_w += full_width(bar, i);
            copy_cut(bar->display[i], KRUI_TAB_NAME_LEN, bar->names[i], 127);
        } else {
            others++;
        }
    }
    int32_t share = others ? (bar->width - kept_w) / others : KRUI_TAB_MIN_W;
    if (share < KRUI_TAB_MIN_W) share = KRUI_TAB_MIN_W;
    total = kept_w;
    for (uint16_t i = 0; i < bar->count; ++i)
        if (!kept(i)) {
            shorten_label(bar, i, share - krui_tab_dot_space(bar, i) - 10);
            total += krui_tab_width_of(bar, i);
        }
    if (total <= bar->width) return;
    // Still too wide: the add tab stays at the right end, the arrows left of it reach every tab, and
    // the rest scrolls to show the active tab.
    int32_t room = bar->width - 2 * KRUI_ARROW_W;
    bar->arrows = true;
    if (bar->add_index >= 0) {
        bar->add_pinned = true;
        room -= krui_tab_width_of(bar, (uint16_t)bar->add_index);
    }
    if (!pinned(bar, active)) {
        const int32_t right = krui_tab_x(bar, active) + krui_tab_width_of(bar, active);
        if (right > room) bar->scroll = right - room;
    }
}

int32_t krui_tab_x(const krui_tabbar_st *bar, uint16_t tab)
{
    if (pinned(bar, tab)) return bar->width - krui_tab_width_of(bar, tab);
    int32_t x = -bar->scroll;
    for (uint16_t i = 0; i < tab && i < bar->count; ++i)
        if (!pinned(bar, i)) x += krui_tab_width_of(bar, i);
    return x;
}

int32_t krui_arrows_x(const krui_tabbar_st *bar)
{
    const int32_t add = bar->add_pinned ? krui_tab_width_of(bar, (uint16_t)bar->add_index) : 0;
    return bar->width - add - 2 * KRUI_ARROW_W;
}

int32_t krui_tab_at(const krui_tabbar_st *bar, int32_t x)
{
    if (x < 0 || ((bar->add_pinned || bar->arrows) && x >= bar->width)) return KRUI_TAB_NONE;
    if (bar->add_pinned && x >= krui_tab_x(bar, (uint16_t)bar->add_index)) return bar->add_index;
    if (bar->arrows && x >= krui_arrows_x(bar))
        return x < krui_arrows_x(bar) + KRUI_ARROW_W ? KRUI_TAB_PREV : KRUI_TAB_NEXT;
    for (uint16_t i = 0; i < bar->count; ++i) {
        const int32_t left = krui_tab_x(bar, i);
        if (!pinned(bar, i) && x >= left && x < left + krui_tab_width_of(bar, i)) return i;
    }
    return KRUI_TAB_NONE;
}

uint16_t krui_tab_step(const krui_tabbar_st *bar, uint16_t active, int32_t direction)
{
    int32_t last = bar->count - 1;
    if (bar->add_index >= 0 && last == bar->add_index) last--;
    int32_t t = (int32_t)active + (direction < 0 ? -1 : 1);
    if ((int32_t)active == bar->add_index && direction < 0) t = last;
    if (t < 0) t = 0;
    if (t > last) t = last;
    return (uint16_t)(t < 0 ? 0 : t);
}

void krui_draw_tabbar(const krui_tabbar_st *bar, uint16_t active, int32_t x0, int32_t y, color_t bg, color_t text_c)
{
    auto draw_tab = [&](uint16_t i) {
        const int32_t x = x0 + krui_tab_x(bar, i), w = krui_tab_width_of(bar, i);
        if (x + w <= x0 || x >= x0 + bar->width) return;
        const bool on = i == active;
        const color_t face = on ? kr_uic_brighten(bg, 20) : bg;
        kr_ui_draw_shadowrrect(x, y, w, 40, 2, face, on ? 0xFFFFFFFF : kr_uic_brighten(bg, 80),
                               on ? 0xFFFFFFFF : kr_uic_brighten(bg, -80));
        draw_dot(bar, i, x, y, face);
        kr_ui_draw_string(bar->display[i], bar->font, x + krui_tab_dot_space(bar, i) + (on ? 5 : 4), y + 20,
                          ALIGN_CENTER_LEFT, text_c);
    };
    for (uint16_t i = 0; i < bar->count; ++i)
        if (i != active && !pinned(bar, i)) draw_tab(i);
    kr_ui_draw_line(x0, y + 39, x0 + bar->width, y + 39, 1, 0xFFFFFFFF);
    // The pinned add tab and the arrows cover whatever scrolled under them; the active tab lies over all.
    if (bar->add_pinned && bar->add_index != (int32_t)active) draw_tab((uint16_t)bar->add_index);
    if (bar->arrows) {
        const int32_t ax = x0 + krui_arrows_x(bar);
        for (int32_t i = 0; i < 2; ++i) {
            const int32_t x = ax + i * KRUI_ARROW_W, cx = x + KRUI_ARROW_W / 2, d = i ? 6 : -6;
            kr_ui_draw_shadowrrect(x, y, KRUI_ARROW_W, 40, 2, bg, kr_uic_brighten(bg, 80), kr_uic_brighten(bg, -80));
            const kr_ui_linestrip_point_st tri[3] = {{(int16_t)(cx - d), (int16_t)(y + 12)},
                                                     {(int16_t)(cx + d), (int16_t)(y + 20)},
                                                     {(int16_t)(cx - d), (int16_t)(y + 28)}};
            kr_ui_draw_polygon(tri, 3, text_c);
        }
    }
    if (active < bar->count) draw_tab(active);
}
