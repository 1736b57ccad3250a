// The controller back end: six operations behind a table (tests install their own), and the product's
// back end, a uinput game controller with 8 axes and 32 buttons.
#include <errno.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "joystick/joystick.h"
#include "kr_bytes.h"

namespace {

const jsdriver_ops_st *ops = &jsdriver_uinput_ops;

const char *const uinput_path = "/dev/uinput";
int uinput_fd = -1;

const uint16_t AXIS_CODES[JOYSTICK_AXIS_COUNT] = {ABS_X,  ABS_Y,  ABS_Z,        ABS_RX,
                                                  ABS_RY, ABS_RZ, ABS_THROTTLE, ABS_RUDDER};

uint16_t button_code(uint8_t index)
{
    return index < 16 ? static_cast<uint16_t>(BTN_TRIGGER + index)
                      : static_cast<uint16_t>(BTN_TRIGGER_HAPPY1 + index - 16);
}

void emit(uint16_t type, uint16_t code, int32_t value)
{
    if (uinput_fd < 0) return;
    struct input_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = type;
    ev.code = code;
    ev.value = value;
    ssize_t n = write(uinput_fd, &ev, sizeof ev);
    (void)n; // a full event queue drops the event; the next change sends the value again
}

bool uinput_open(const char *name, char *err, size_t err_length)
{
    if (uinput_fd >= 0) return true;
    int fd = open(uinput_path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT || e == ENODEV || e == ENXIO)
            std::snprintf(err, err_length,
                          "the uinput driver is not installed (%s was not found). Load the kernel's uinput module.",
                          uinput_path);
        else
            std::snprintf(err, err_length, "the uinput driver is not enabled for this user (%s: %s)", uinput_path,
                          std::strerror(e));
        return false;
    }
    bool ok = ioctl(fd, UI_SET_EVBIT, EV_SYN) == 0 && ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0 &&
              ioctl(fd, UI_SET_EVBIT, EV_ABS) == 0;
    for (uint8_t b = 0; ok && b < JOYSTICK_BUTTON_COUNT; b++) ok = ioctl(fd, UI_SET_KEYBIT, button_code(b)) == 0;
    for (uint32_t a = 0; ok && a < JOYSTICK_AXIS_COUNT; a++) {
        struct uinput_abs_setup abs;
        std::memset(&abs, 0, sizeof abs);
        abs.code = AXIS_CODES[a];
        abs.absinfo.minimum = 0;
        abs.absinfo.maximum = 32768;
        abs.absinfo.value = 16384;
        ok = ioctl(fd, UI_SET_ABSBIT, AXIS_CODES[a]) == 0 && ioctl(fd, UI_ABS_SETUP, &abs) == 0;
    }
    if (ok) {
        struct uinput_setup setup;
        std::memset(&setup, 0, sizeof setup);
        setup.id.bustype = BUS_VIRTUAL;
        setup.id.vendor = 0x1209;
        setup.id.product = 0x0001;
        setup.id.version = 1;
        kr_copy_text(setup.name, sizeof setup.name, name && name[0] ? name : JOYSTICK_DEFAULT_NAME);
        ok = ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ioctl(fd, UI_DEV_CREATE) == 0;
    }
    if (!ok) {
        int e = errno;
        close(fd);
        std::snprintf(err, err_length, "the uinput device could not be created (%s)", std::strerror(e));
        return false;
    }
    uinput_fd = fd;
    return true;
}

void uinput_close(void)
{
    if (uinput_fd < 0) return;
    ioctl(uinput_fd, UI_DEV_DESTROY);
    close(uinput_fd);
    uinput_fd = -1;
}

const char *uinput_name(void) { return "uinput"; }

void uinput_set_axis(uint8_t axis, int32_t value)
{
    if (axis >= JOYSTICK_AXIS_COUNT) return;
    emit(EV_ABS, AXIS_CODES[axis], jsdriver_axis_to_device(value));
}

void uinput_set_button(uint8_t index, bool pressed)
{
    if (index >= JOYSTICK_BUTTON_COUNT) return;
    emit(EV_KEY, button_code(index), pressed ? 1 : 0);
}

void uinput_sync(void) { emit(EV_SYN, SYN_REPORT, 0); }

} // namespace

const jsdriver_ops_st jsdriver_uinput_ops = {uinput_open,     uinput_close,      uinput_name,
                                             uinput_set_axis, uinput_set_button, uinput_sync};

void jsdriver_set_backend(const jsdriver_ops_st *o) { ops = o ? o : &jsdriver_uinput_ops; }

int32_t jsdriver_axis_to_device(int32_t value)
{
    if (value > JOYSTICK_AXIS_MAX) value = JOYSTICK_AXIS_MAX;
    if (value < -JOYSTICK_AXIS_MAX) value = -JOYSTICK_AXIS_MAX;
    return static_cast<int32_t>((static_cast<int64_t>(value) + 32767) * 32768 / 65534);
}

bool jsdriver_open(const char *name, char *err, size_t err_length)
{
    if (err && err_length) err[0] = '\0';
    char fallback[8];
    if (!err || !err_length) {
        err = fallback;
        err_length = sizeof fallback;
    }
    return ops->open(name, err, err_length);
}
void jsdriver_close(void) { ops->close(); }
const char *jsdriver_name(void) { return ops->name(); }
void jsdriver_set_axis(uint8_t axis, int32_t value) { ops->set_axis(axis, value); }
void jsdriver_set_button(uint8_t index, bool pressed) { ops->set_button(index, pressed); }
void jsdriver_sync(void) { ops->sync(); }
