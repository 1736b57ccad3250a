/* Flashing a device's ESP32 module through esptool, with the device asked over its CAN terminal
 * to leave the module alone meanwhile: the esp32port and loadesp32 commands and the window's
 * ESP32 job. Valid C11 and C++. */
#ifndef KRCAN_ESP32_H
#define KRCAN_ESP32_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ESP32_BAUDRATE "921600"
#define ESP32_PORT_WAIT_MS 5000u
#define ESP32_PORT_WAIT_STEP_MS 100u
#define TERMINAL_FRAME_DELAY_MS 30u
#define TERMINAL_CMD_DELAY_MS 300u
#define ESP32_PORT_LEN 256u
#define ESP32_SERIAL_DIR "/dev/serial/by-id"
#define ESPTOOL_RUN_LIMIT_MS (15u * 60u * 1000u) /* then SIGTERM, and SIGKILL after the grace */
#define ESPTOOL_TERM_GRACE_MS 5000u
#define ESPTOOL_SIGNAL_GRACE_MS 200u /* after a Ctrl-C: the device's resume must not wait long */

/* Tests: a shorter run limit and grace (0 keeps the current value), the folder find_port looks
 * into, and the port of the esp32port option (none: unset). */
void loadesp32_set_time_limit(uint32_t run_ms, uint32_t grace_ms);
void esp32_set_serial_dir(const char *dir);
void esp32_set_port(const char *value);

/* The commands. */
bool cmd_esp32port(const char *arg);
bool cmd_loadesp32(const char *arg);

void loadesp32_dispatch_step(void *app);
void loadesp32_devices(uint32_t first, uint32_t end);
bool loadesp32_krdev(const char *path, uint8_t node);
/* Pauses (enable false) or resumes the module's communication; false when the command could not be
 * sent. Node 0 does nothing. */
bool esp32_comm(uint8_t node, bool enable);
/* Sends a terminal command line (a "\n" is added) as raw frames; false when a frame could not be sent. */
bool terminal_send(uint8_t node, const char *line);
/* The esp32port value, else the one Espressif entry of the serial folder; false for none. */
bool find_port(char *port, size_t size);
/* Runs esptool with the argument list (argv[0] is the program name, the list ends with null); true
 * when it ended with status 0. */
bool run_esptool(const char *const *argv);

/* The window's job. */
void loadesp32_load_device_async(const char *path, uint8_t node);
bool loadesp32_load_device_is_finished(void);

#ifdef __cplusplus
}
#endif

#endif
