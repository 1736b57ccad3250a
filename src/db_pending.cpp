// The device database's node-id state and its teardown, until the device database lands (its owner
// deletes this file). Nothing can be loaded yet, so there is nothing to free.
#include "tool_pending.h"

static bool is_nodeid_set = false;
static bool nodeid_force_set = false;

void db_set_nodeid_force(db_st *db, uint8_t id)
{
    db->node_id = id;
    is_nodeid_set = true;
    nodeid_force_set = true;
}

void db_deinit(db_st *db)
{
    db->objects.len = 0;
    db->emcys.len = 0;
    db->defines.len = 0;
    db->revnotes.len = 0;
    db->rxpdos.len = 0;
    db->txpdos.len = 0;
}
