// The krcan binary's stand-ins for the window's entry points. The window, its toolkit and the GL,
// GLFW, FreeType and X11 libraries live in the module krcan_window, which the first call that needs
// a window opens: a command-line run maps none of them. Programs that link the window in (tests,
// tools) do not build this file. Its symbols are hidden, so that inside the module the window's own
// entry points are called, not these.
#include <dlfcn.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "ui/krui.h"
#include "run/main.h"
#include "ui/mirror.h"
#include "ui/kr_uiconfwindow.h"

namespace {

void *module = nullptr;
bool module_tried = false;
remoteui_asset_req_t asset_req = nullptr;
void *asset_req_user = nullptr;
remoteui_input_t input = nullptr;
void *input_user = nullptr;

// Installed, the module is in KR_WINDOW_MODULE_RELDIR from the binary's folder; in the build tree,
// beside the binary. Empty (with the message) when it is in neither.
std::string module_path()
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path dir = fs::read_symlink("/proc/self/exe", ec).parent_path();
    const fs::path installed = (dir / KR_WINDOW_MODULE_RELDIR).lexically_normal();
    for (const fs::path &d : {installed, dir}) {
        if (fs::exists(d / KR_WINDOW_MODULE_FILE, ec)) return (d / KR_WINDOW_MODULE_FILE).string();
    }
    job_error("The window cannot be shown: %s is in neither %s nor %s\n", KR_WINDOW_MODULE_FILE, installed.c_str(),
              dir.c_str());
    return "";
}

// A run that asked for a window and cannot have one fails.
void *open_module()
{
    if (module || module_tried) return module;
    module_tried = true;
    const std::string path = module_path();
    if (!path.empty()) {
        module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) job_error("The window cannot be shown: %s\n", dlerror());
    }
    return module;
}

template <class F> F *symbol(void *from, const char *name)
{
    if (!from) return nullptr;
    void *f = dlsym(from, name);
    if (!f) job_error("The window cannot be shown: %s\n", dlerror());
    return reinterpret_cast<F *>(f);
}

// The entry point `name` of the module, opened if need be; null when there is no window.
#define WINDOW_FN(name) symbol<decltype(name)>(open_module(), #name)
// The same, but only if the module is open already: without it no window is open.
#define OPEN_WINDOW_FN(name) symbol<decltype(name)>(module, #name)

} // namespace

extern "C" {

void krui_exec(void)
{
    if (auto *f = WINDOW_FN(krui_exec)) f();
}

// Titles of a parameter run: without the module no log strip shows them.
void krui_set_log_title(const char *title)
{
    if (auto *f = OPEN_WINDOW_FN(krui_set_log_title)) f(title);
}

void krui_reset_log_title(void)
{
    if (auto *f = OPEN_WINDOW_FN(krui_reset_log_title)) f();
}

bool kr_uiconfwindow_run(const struct kr_uistyle_st *style)
{
    auto *f = WINDOW_FN(kr_uiconfwindow_run);
    return f && f(style);
}

bool remoteui_win_open(const char *title, uint16_t width, uint16_t height)
{
    auto *f = WINDOW_FN(remoteui_win_open);
    if (!f) return false;
    // Callbacks set before the module was open reach it now.
    remoteui_win_set_asset_request_callb(asset_req, asset_req_user);
    remoteui_win_set_input_callb(input, input_user);
    return f(title, width, height);
}

void remoteui_win_set_asset_request_callb(remoteui_asset_req_t callb, void *user)
{
    asset_req = callb;
    asset_req_user = user;
    if (auto *f = OPEN_WINDOW_FN(remoteui_win_set_asset_request_callb)) f(callb, user);
}

void remoteui_win_set_input_callb(remoteui_input_t callb, void *user)
{
    input = callb;
    input_user = user;
    if (auto *f = OPEN_WINDOW_FN(remoteui_win_set_input_callb)) f(callb, user);
}

bool remoteui_win_is_open(void)
{
    auto *f = OPEN_WINDOW_FN(remoteui_win_is_open);
    return f && f();
}

void remoteui_win_close(void)
{
    if (auto *f = OPEN_WINDOW_FN(remoteui_win_close)) f();
}

void remoteui_win_poll_events(void)
{
    if (auto *f = OPEN_WINDOW_FN(remoteui_win_poll_events)) f();
}

void remoteui_win_step(void)
{
    if (auto *f = OPEN_WINDOW_FN(remoteui_win_step)) f();
}

void remoteui_win_draw_frame(const uint8_t *list, uint32_t length)
{
    if (auto *f = OPEN_WINDOW_FN(remoteui_win_draw_frame)) f(list, length);
}

void remoteui_win_asset_received(uint8_t kind, uint32_t id, const uint8_t *body, uint32_t length)
{
    if (auto *f = OPEN_WINDOW_FN(remoteui_win_asset_received)) f(kind, id, body, length);
}

void remoteui_win_set_link_age(uint32_t seconds)
{
    if (auto *f = OPEN_WINDOW_FN(remoteui_win_set_link_age)) f(seconds);
}
}
