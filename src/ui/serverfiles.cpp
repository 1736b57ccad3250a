// The server files dialog: the account's published packages, one tab per fleet, a folder tree with a
// "Download" button per version and a filter; a chosen version downloads in the background.
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "online/account.h"
#include "system/package.h"
#include "online/remotefiles.h"
#include "ui/serverfiles.h"
#include "ui/kr_uiacceptdialog.h"
#include "ui/kr_uicontainers.h"
#include "ui/kr_uidisplay.h"
#include "ui/kr_uitextedit.h"
#include "ui/kr_uiwidgets.h"
#include "kr_bytes.h"

namespace {

constexpr int MARGIN = 10, TITLE_H = 30, BUTTON_H = 44;
constexpr int ROW_H = 46, ROW_BTN_H = 36, DOWNLOAD_W = 130;
constexpr int FILTER_LABEL_W = 70, FILTER_W = 360, WHEEL_STEP = 40;

// The widgets of one folder; records never move once made.
struct node_ui {
    kr_uitreeobject_st obj;
    std::vector<kr_uiobject_st *> child_buf;
    std::vector<kr_uilabel_st> ver_labels;
    std::vector<kr_uibutton_st> dl_btns;
    std::vector<std::array<char, SFW_ROW_LEN>> ver_strs;
    std::vector<int16_t> btn_version; // the version of each placed button
    uint16_t placed = 0;
};

struct dialog_state {
    const kr_uistyle_st *style = nullptr;
    kr_uidialog_st dlg;
    kr_uiobject_st *dlg_children[8];
    kr_uilabel_st title;
    char title_text[160];
    kr_uitabwindow_st tabs;
    kr_uiobject_st *tab_children[2];
    const char *tab_names[SFW_MAX_FLEETS];
    kr_uilabel_st empty_label;
    kr_uitreeview_st tree;
    std::vector<kr_uiobject_st *> tree_children;
    kr_uilabel_st filter_label;
    kr_uitextedit_st filter_edit;
    char filter[SFW_FILTER_LEN];
    char applied[SFW_FILTER_LEN];
    kr_uibutton_st close_btn;
    sfw_listing listing;
    std::vector<sfw_tree_node> nodes;
    std::vector<node_ui> ui;
    std::vector<int> fleet_of_tab;
    int current_fleet = 0;
    uint16_t shown_tab = 0;
    bool tree_shown = false;
    int32_t sel_product = -1, sel_version = -1;
};

dialog_state *S = nullptr;
char package_dir[1024] = ""; // made once, kept for the process

void message(const char *text)
{
    static kr_uiacceptdialog_st box;
    std::memset((void *)&box, 0, sizeof box);
    char shown[640];
    kr_copy_text(shown, sizeof shown, text);
    kr_uiacceptdialog_exec(&box, shown, "OK", "OK", S && S->style ? S->style : nullptr);
}

int16_t build_node(int32_t index, const std::vector<sfw_shown> &shown, size_t &at, int16_t width);

// Adds the node shown at `at` to `container`, then the nodes below it.
void add_shown(kr_uiwindow_st *container, const std::vector<sfw_shown> &shown, size_t &at, int16_t width)
{
    const sfw_shown &s = shown[at];
    node_ui &u = S->ui[(size_t)s.node];
    const int16_t content_h = build_node(s.node, shown, at, width);
    kr_uitreeview_add(container, &u.obj, content_h, s.open);
}

// Fills a node's tree object with its matching rows and children; the content height.
int16_t build_node(int32_t index, const std::vector<sfw_shown> &shown, size_t &at, int16_t width)
{
    const sfw_shown &s = shown[at];
    const sfw_tree_node &n = S->nodes[(size_t)index];
    node_ui &u = S->ui[(size_t)index];
    std::memset((void *)&u.obj, 0, sizeof u.obj);
    std::fill(u.child_buf.begin(), u.child_buf.end(), nullptr);
    kr_uitreeobject_init(&u.obj, u.child_buf.data(), n.name, nullptr, S->style);
    kr_uitreeobject_set_font(&u.obj, &font20);
    const int16_t inner = (int16_t)(width - u.obj.super.content_bb_xdef);
    const remotefiles_product_st *p = n.product >= 0 ? S->listing.products[(size_t)n.product] : nullptr;
    u.placed = 0;
    for (uint16_t r : s.rows) {
        if (!p || r >= n.versions) continue;
        const uint16_t k = u.placed++;
        sfw_version_row(&p->versions[r], u.ver_strs[k].data(), SFW_ROW_LEN);
        kr_uilabel_st *label = &u.ver_labels[k];
        std::memset((void *)label, 0, sizeof *label);
        kr_uilabel_init(label, &font20, ALIGN_CENTER_LEFT, S->style->text_color, u.ver_strs[k].data());
        kr_uiwindow_addxy(&u.obj.super, &label->super, 0, (int16_t)(k * ROW_H), (int16_t)(inner - 140), ROW_H);
        kr_uibutton_st *b = &u.dl_btns[k];
        std::memset((void *)b, 0, sizeof *b);
        kr_uibutton_init(b, "Download", S->style);
        kr_uiwindow_addxy(&u.obj.super, &b->super, (int16_t)(inner - DOWNLOAD_W), (int16_t)(k * ROW_H + 5), DOWNLOAD_W,
                          ROW_BTN_H);
        u.btn_version[k] = (int16_t)r;
    }
    const int32_t depth = s.depth;
    ++at;
    while (at < shown.size() && shown[at].depth > depth) add_shown(&u.obj.super, shown, at, inner);
    return (int16_t)(u.placed * ROW_H);
}

void show_fleet(int fleet)
{
    kr_uitabwindow_clear(&S->tabs);
    S->current_fleet = fleet;
    std::memcpy(S->applied, S->filter, sizeof S->applied);
    S->tree_shown = false;
    const kr_bounding_box_st area = kr_uitabwindow_get_contentbb(&S->tabs);
    bool any = false;
    for (const sfw_tree_node &n : S->nodes) any |= n.fleet == fleet;
    if (!any) {
        std::memset((void *)&S->empty_label, 0, sizeof S->empty_label);
        kr_uilabel_init(&S->empty_label, S->style->font, ALIGN_CENTER, S->style->text_color, "No files in this fleet.");
        kr_uiwindow_addxy(&S->tabs.super, &S->empty_label.super, 0, 0, area.w, area.h);
        return;
    }
    const std::vector<sfw_shown> shown = sfw_visible(S->listing, S->nodes, fleet, S->applied);
    std::fill(S->tree_children.begin(), S->tree_children.end(), nullptr);
    std::memset((void *)&S->tree, 0, sizeof S->tree);
    kr_uitreeview_init(&S->tree, S->tree_children.data(), S->style);
    kr_uiwindow_set_transparent(&S->tree.super, true);
    kr_uiwindow_addxy(&S->tabs.super, &S->tree.super.super, 0, 0, area.w, area.h);
    size_t at = 0;
    while (at < shown.size()) add_shown(&S->tree.super, shown, at, area.w);
    S->tree_shown = true;
}

kr_uiobject_ret_e sfw_step(void *, uint16_t)
{
    const int16_t wheel = kr_ui_get_scroll();
    if (wheel && S->tree_shown) {
        int32_t x = 0, y = 0;
        kr_ui_get_touch(&x, &y);
        const kr_uiobject_st *t = &S->tree.super.super;
        const int32_t tx = kr_ui_get_xglobal(t), ty = kr_ui_get_yglobal(t);
        if (x >= tx && x < tx + t->bb.w && y >= ty && y < ty + t->bb.h)
            kr_uiwindow_content_move(&S->tree.super, 0, (int32_t)wheel * WHEEL_STEP);
    }
    if (S->close_btn.state == UIBUTTON_CLICKED) return UIOBJECT_RETURN_KILLED;
    if (!S->fleet_of_tab.empty() && S->tabs.active_tab != S->shown_tab && S->tabs.active_tab < S->fleet_of_tab.size()) {
        S->shown_tab = S->tabs.active_tab;
        show_fleet(S->fleet_of_tab[S->shown_tab]);
        return UIOBJECT_RETURN_REFRESH;
    }
    for (size_t i = 0; i < S->ui.size(); ++i) {
        const node_ui &u = S->ui[i];
        if (S->nodes[i].fleet != S->current_fleet) continue;
        for (uint16_t k = 0; k < u.placed; ++k)
            if (u.dl_btns[k].state == UIBUTTON_CLICKED) {
                S->sel_product = S->nodes[i].product;
                S->sel_version = u.btn_version[k];
                return UIOBJECT_RETURN_KILLED;
            }
    }
    if (std::strcmp(S->filter, S->applied) != 0) {
        show_fleet(S->current_fleet);
        return UIOBJECT_RETURN_REFRESH;
    }
    return UIOBJECT_RETURN_ALIVE;
}

bool make_ui(void)
{
    try {
        S->ui = std::vector<node_ui>(S->nodes.size());
        for (size_t i = 0; i < S->nodes.size(); ++i) {
            const sfw_tree_node &n = S->nodes[i];
            node_ui &u = S->ui[i];
            u.child_buf.assign((size_t)n.versions * 2 + n.children + 2, nullptr);
            u.ver_labels.resize(n.versions);
            u.dl_btns.resize(n.versions);
            u.ver_strs.resize(n.versions);
            u.btn_version.assign(n.versions, -1);
        }
        S->tree_children.assign(S->nodes.size() + 2, nullptr);
    } catch (const std::bad_alloc &) {
        S->ui.clear();
        return false;
    }
    return true;
}

bool start_download(void)
{
    if (S->sel_product < 0 || (size_t)S->sel_product >= S->listing.products.size()) return false;
    const remotefiles_product_st *p = S->listing.products[(size_t)S->sel_product];
    if (!p || !p->versions || S->sel_version < 0 || S->sel_version >= p->version_count) return false;
    const remotefiles_version_st &v = p->versions[S->sel_version];
    char name[SFW_PATH_LEN];
    if (!sfw_local_name(v.path, name, sizeof name)) {
        char text[640];
        std::snprintf(text, sizeof text, "The file '%.*s' on the server has no name that can be saved here.",
                      (int)strnlen(v.path, sizeof v.path), v.path);
        message(text);
        return false;
    }
    if (!package_dir[0] && !system_mktempdir("krcan_pkg", package_dir, sizeof package_dir)) {
        package_dir[0] = '\0';
        message("There is nowhere to download to: a temporary directory could not be created.");
        return false;
    }
    char local[sizeof package_dir + SFW_PATH_LEN + 2];
    std::snprintf(local, sizeof local, "%s/%s", package_dir, name);
    char server[sizeof v.path + 1];
    std::snprintf(server, sizeof server, "%.*s", (int)strnlen(v.path, sizeof v.path), v.path);
    remotefiles_download_async(server, local, v.size);
    return true;
}

bool run_dialog(void)
{
    char err[256] = "";
    if (remotefiles_login_is_running()) {
        message("Still connecting to the file server. Try again in a moment.");
        return false;
    }
    if (!remotefiles_login(credentials_get_url(), credentials_get_username(), credentials_get_password(), err,
                           sizeof err)) {
        message(err);
        return false;
    }
    if (!remotefiles_list(err, sizeof err)) {
        message(err);
        return false;
    }
    const uint32_t fleets = remotefiles_get_fleet_count();
    for (uint32_t i = 0; i < fleets && i < SFW_MAX_FLEETS; ++i) {
        const char *f = remotefiles_get_fleet(i);
        S->listing.fleets.emplace_back(f ? f : "");
    }
    const uint32_t products = remotefiles_get_product_count();
    for (uint32_t i = 0; i < products && i <= UINT16_MAX; ++i)
        S->listing.products.push_back(remotefiles_get_product((uint16_t)i));

    kr_uidialog_init(&S->dlg, S->dlg_children, S->style);
    kr_uiwindow_set_stepcallback(&S->dlg.super.super, sfw_step, nullptr);
    const int16_t W = S->dlg.super.super.super.bb.w, H = S->dlg.super.super.super.bb.h;
    std::snprintf(S->title_text, sizeof S->title_text, "Server files for '%s'", credentials_get_username());
    kr_uilabel_init(&S->title, &font25, ALIGN_CENTER_LEFT, 0xFFFFFFFF, S->title_text);
    kr_uiwindow_addxy(&S->dlg.super.super, &S->title.super, MARGIN, MARGIN, (int16_t)(W - 20), TITLE_H);

    if (!sfw_build_nodes(S->listing, S->nodes) || !make_ui()) {
        message("Not enough memory to show the file list.");
        return false;
    }
    S->fleet_of_tab = sfw_fleet_order(S->listing);
    const int16_t area_h = (int16_t)(H - 114);
    if (!S->fleet_of_tab.empty()) {
        for (size_t t = 0; t < S->fleet_of_tab.size(); ++t)
            S->tab_names[t] = S->listing.fleets[(size_t)S->fleet_of_tab[t]].c_str();
        kr_uitabwindow_init(&S->tabs, (uint16_t)S->fleet_of_tab.size(), S->style, S->tab_children, S->tab_names);
        kr_uiwindow_addxy(&S->dlg.super.super, &S->tabs.super.super, MARGIN, 50, (int16_t)(W - 20), area_h);
        S->shown_tab = 0;
        show_fleet(S->fleet_of_tab[0]);
    } else {
        kr_uilabel_init(&S->empty_label, S->style->font, ALIGN_CENTER, S->style->text_color,
                        "No files are available for this account.");
        kr_uiwindow_addxy(&S->dlg.super.super, &S->empty_label.super, MARGIN, 50, (int16_t)(W - 20), area_h);
    }
    kr_uilabel_init(&S->filter_label, S->style->font, ALIGN_CENTER_LEFT, S->style->text_color, "Filter");
    kr_uiwindow_addxy(&S->dlg.super.super, &S->filter_label.super, MARGIN, (int16_t)(H - 54), FILTER_LABEL_W, BUTTON_H);
    kr_uitextedit_init(&S->filter_edit, S->filter, sizeof S->filter, UITEXTEDIT_FLAG_ONELINE | UITEXTEDIT_FLAG_CMDLINE,
                       S->style);
    S->filter_edit.super.align = ALIGN_CENTER_LEFT;
    kr_uiwindow_addxy(&S->dlg.super.super, &S->filter_edit.super.super, 80, (int16_t)(H - 54), FILTER_W, BUTTON_H);
    kr_uiwindow_set_focus(&S->filter_edit.super.super);
    kr_uibutton_init(&S->close_btn, "Close", S->style);
    kr_uiwindow_addxy(&S->dlg.super.super, &S->close_btn.super, (int16_t)(W - 140), (int16_t)(H - 54), 130, BUTTON_H);

    kr_uidialog_exec(&S->dlg);
    return S->sel_product >= 0 && S->sel_version >= 0 && start_download();
}

} // namespace

bool serverfiles_win_exec(const kr_uistyle_st *style)
{
    std::unique_ptr<dialog_state> state;
    try {
        state = std::make_unique<dialog_state>();
    } catch (const std::bad_alloc &) {
        return false;
    }
    std::memset((void *)&state->dlg, 0, sizeof state->dlg);
    std::memset((void *)state->dlg_children, 0, sizeof state->dlg_children);
    std::memset((void *)&state->title, 0, sizeof state->title);
    std::memset((void *)&state->tabs, 0, sizeof state->tabs);
    std::memset((void *)state->tab_children, 0, sizeof state->tab_children);
    std::memset((void *)&state->empty_label, 0, sizeof state->empty_label);
    std::memset((void *)&state->tree, 0, sizeof state->tree);
    std::memset((void *)&state->filter_label, 0, sizeof state->filter_label);
    std::memset((void *)&state->filter_edit, 0, sizeof state->filter_edit);
    std::memset((void *)&state->close_btn, 0, sizeof state->close_btn);
    std::memset(state->filter, 0, sizeof state->filter);
    std::memset(state->applied, 0, sizeof state->applied);
    state->style = style ? style : &kr_uistyles[0];
    S = state.get();
    const bool started = run_dialog();
    S = nullptr;
    return started;
}
