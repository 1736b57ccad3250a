/* Stands in for a device firmware's main.h when the generated sources of the corpus are compiled:
 * the variables that the database's data pointers name. */
#ifndef FIRMWARE_MAIN_H
#define FIRMWARE_MAIN_H

#include <stdint.h>

extern uint16_t speed;
extern uint8_t mode;
extern uint32_t serial;
extern char label[16];
extern uint16_t gains[3];
extern uint8_t color;
extern uint16_t limit_low;
extern uint16_t limit_high;
extern uint32_t table[2];
extern uint8_t pole_pairs;
extern uint16_t temperature;
extern uint16_t if_version;

#endif
