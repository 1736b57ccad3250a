// The device database's node-id state and its teardown, until the device database lands (its owner
// deletes this file and inc/db_pending.h). Nothing can be loaded yet, so there is nothing to free,
// and only a node id chosen with nodeid/forcenodeid is known.
#include "db_pending.h"

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

bool db_is_loaded(db_st *) { return false; }

uint8_t db_get_nodeid(db_st *db)
{
    if (!db || !is_nodeid_set) return 0;
    return db->node_id;
}

void db_set_nodeid(db_st *db, uint8_t id)
{
    if (!db || nodeid_force_set) return;
    db->node_id = id;
    is_nodeid_set = true;
}

void db_get_nodeid_state(db_st *db, uint8_t *id, bool *is_set, bool *forced)
{
    if (id) *id = db ? db->node_id : 0;
    if (is_set) *is_set = is_nodeid_set;
    if (forced) *forced = nodeid_force_set;
}

void db_set_nodeid_state(db_st *db, uint8_t id, bool is_set, bool forced)
{
    if (db) db->node_id = id;
    is_nodeid_set = is_set;
    nodeid_force_set = forced;
}
