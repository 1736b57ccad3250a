// The device database's values (an integer and the text it came from) and the records that
// hold them: objects and array elements, made empty and freed.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "db_internal.h"

// Shared text of every value that owns none.
static char empty_text[1] = "";

/* ---- Values ---- */

void dbvalue_init(dbvalue_st *v)
{
    v->type = DBVALUE_INT;
    v->value_int = 0;
    v->value_str = empty_text;
    v->value_exact = 0;
}

void dbvalue_free(dbvalue_st *v)
{
    if (v->type == DBVALUE_STRING && v->value_str != empty_text) std::free(v->value_str);
    dbvalue_init(v);
}

bool dbvalue_is_set(const dbvalue_st *v)
{
    return v->type == DBVALUE_STRING || (v->value_str && v->value_str[0] != '\0');
}

void dbvalue_own(dbvalue_st *v, const char *text, size_t len)
{
    char *copy = static_cast<char *>(std::malloc(len + 1));
    if (!copy) {
        std::fprintf(stderr, "out of memory\n");
        std::abort();
    }
    std::memcpy(copy, text, len);
    copy[len] = '\0';
    v->type = DBVALUE_STRING;
    v->value_str = copy;
}

void dbvalue_set_int(dbvalue_st *v, int32_t n) { dbvalue_set_exact(v, n); }

void dbvalue_set_exact(dbvalue_st *v, int64_t n)
{
    dbvalue_free(v);
    char text[24];
    int len = std::snprintf(text, sizeof text, "%" PRIi64, n);
    dbvalue_own(v, text, (size_t)len);
    v->value_int = (int32_t)(uint32_t)(uint64_t)n;
    v->value_exact = n;
}

void dbvalue_copy(dbvalue_st *dest, const dbvalue_st *src)
{
    dbvalue_free(dest);
    if (src->type == DBVALUE_STRING) dbvalue_own(dest, src->value_str, std::strlen(src->value_str));
    dest->value_int = src->value_int;
    dest->value_exact = src->value_exact;
}

void dbvalue_set(dbvalue_st *v, parser_node_st node)
{
    switch (parser_get_type(node)) {
    case PARSER_INT: {
        // The whole token, so that 0xFFFFFFFF stays itself; a token that is no number keeps the reader's.
        uint32_t len = 0;
        const char *raw = parser_get_raw(node, &len);
        int64_t n = 0;
        if (raw && !db_int_text(raw, len, &n))
            dbvalue_set_exact(v, n);
        else
            dbvalue_set_int(v, parser_get_int(node));
        break;
    }
    case PARSER_STRING: {
        // Through the reader's copy, which undoes YAML's escapes.
        std::vector<char> text(parser_get_string_len(node) + 1u);
        parser_get_string(node, text.data(), (uint32_t)text.size());
        dbvalue_set_string(v, text.data(), std::strlen(text.data()));
        break;
    }
    default: dbvalue_free(v); break;
    }
}

void db_array_child_init(db_array_child_st *child, const db_obj_st *parent)
{
    dbvalue_init(&child->name);
    dbvalue_init(&child->min);
    dbvalue_init(&child->max);
    dbvalue_init(&child->def);
    child->numsys = parent ? parent->numsys : DB_OBJ_NUMSYS_DEC;
    child->next_sibling = nullptr;
}

void db_obj_init(db_obj_st *obj)
{
    dbvalue_init(&obj->name);
    dbvalue_init(&obj->dataptr);
    obj->type_str[0] = '\0';
    obj->obj_type = DB_OBJ_TYPE_COUNT;
    obj->numsys = DB_OBJ_NUMSYS_DEC;
    dbvalue_init(&obj->value);
    dbvalue_init(&obj->def);
    dbvalue_init(&obj->min);
    dbvalue_init(&obj->max);
    obj->child_ptr = nullptr;
    dbvalue_init(&obj->array_max_size);
    dbvalue_init(&obj->string_len);
    dbvalue_init(&obj->string_def);
}

void db_obj_deinit(db_obj_st *obj)
{
    dbvalue_free(&obj->name);
    dbvalue_free(&obj->dataptr);
    dbvalue_free(&obj->value);
    dbvalue_free(&obj->def);
    dbvalue_free(&obj->min);
    dbvalue_free(&obj->max);
    dbvalue_free(&obj->array_max_size);
    dbvalue_free(&obj->string_len);
    dbvalue_free(&obj->string_def);
    db_array_child_st *c = obj->child_ptr;
    while (c) {
        db_array_child_st *next = c->next_sibling;
        dbvalue_free(&c->name);
        dbvalue_free(&c->min);
        dbvalue_free(&c->max);
        dbvalue_free(&c->def);
        std::free(c);
        c = next;
    }
    obj->child_ptr = nullptr;
}
