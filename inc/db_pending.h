/* The device database's node-id state, until the device database module lands (its owner replaces
 * this header and src/db_pending.cpp). Valid C11 and C++. */
#ifndef KRCAN_DB_PENDING_H
#define KRCAN_DB_PENDING_H

#include <stdbool.h>
#include <stdint.h>

#include "main.h"
#include "tool_pending.h" /* db_set_nodeid_force, db_deinit */

#ifdef __cplusplus
extern "C" {
#endif

uint8_t db_get_nodeid(db_st *db);
void db_set_nodeid(db_st *db, uint8_t id);
void db_get_nodeid_state(db_st *db, uint8_t *id, bool *is_set, bool *forced);
void db_set_nodeid_state(db_st *db, uint8_t id, bool is_set, bool forced);
bool db_is_loaded(db_st *db);

#ifdef __cplusplus
}
#endif

#endif
