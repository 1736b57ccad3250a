/* The command table: one row per command-line option, its help text and its callback. Valid C11 and C++. */
#ifndef COMMANDS_H
#define COMMANDS_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum { ARG_NONE = 0, ARG_REQUIRE = 1, ARG_OPTIONAL = 2 } argument_e;

typedef struct {
    const char *cmd_long;
    char cmd_short;  /* 0 for none; only lower-case letters become short options */
    const char *str; /* help text; '*' runs toggle bold */
    argument_e args;
    bool (*callback)(const char *arg); /* false stops the run */
} commands_st;

#define COMMANDS_COUNT 60

extern const commands_st commands[COMMANDS_COUNT];
uint32_t commands_count(void);
/* The row whose callback runs now (set while the command line is walked), or null. */
extern const commands_st *current_command;
const commands_st *find_command(const char *word);
void print_command(const commands_st *row);
void print_description(const char *text);
bool str_equals_nocase(const char *a, const char *b);

void commands_select_nodeid(uint8_t nodeid, bool force);
void select_cmdline_device(uint8_t nodeid);
void sim_monitor(void);

/* The one reader of the command line's numbers. Blanks around the word (space, tab, CR, LF, VT, FF,
 * no-break space) are dropped; what is left must be one whole number with base detection (0x
 * hexadecimal, leading 0 octal, else decimal), a '-' only when min is below 0, no '+', within
 * min..max. False for anything else, and *out is left alone. */
bool cmdline_read_number(const char *text, int64_t min, int64_t max, int64_t *out);
/* Whether the option (its long name) takes a number, and that number read in the option's own range;
 * a refused one is reported (job_error) naming the argument. */
bool cmdline_option_has_number(const char *option);
bool cmdline_option_number(const char *option, const char *arg, int64_t *out);
/* The value of sdowrite (text_only false) or sdowritestr (true): a number from -2^31 to 2^32-1, or
 * text when text_only or when, once the blanks around it are dropped, it is printable ASCII holding a
 * letter that does not start as a number. False refuses it. */
bool cmdline_read_value(const char *text, bool text_only, int64_t *value, bool *is_text);
/* Reports a value cmdline_read_value refused (job_error): the first character inside it that is no
 * printable ASCII by its code point and position, and that text goes through sdowritestr. */
void cmdline_refuse_value(const char *option, const char *text);

/* How the command now being read uses the words left after the options (`cmdline_take_words`). */
enum {
    CMDLINE_WORDS_FIRST = 1, /* only the first word (else every word) */
    CMDLINE_WORDS_PATHS = 2, /* the words are paths, which must fit DEV_PATH_LEN */
    CMDLINE_WORDS_FILE = 4,  /* the command was given no file of its own and takes the first word as it */
};
/* Called from a command's callback while the command line is read. After the walk the command line is
 * refused, before any job, when words are left that no command takes, when two commands would take
 * them, or when a path among them does not fit. */
void cmdline_take_words(unsigned how);

/* State of this module's callbacks. */
extern bool can_given;
extern bool ui_given;
extern int32_t ui_task_index;
extern int32_t sim_task_index;
extern volatile bool sim_commands_follow;
extern volatile bool sim_ready;
extern volatile bool sim_started;
extern volatile bool sim_keeper_done;

/* Version notes shown by the window. */
typedef struct {
    const char *date;
    const char *text;
} versionnote_st;

extern const versionnote_st version_notes[];
uint32_t versionnotes_count(void);
const versionnote_st *versionnotes_get(uint32_t i);
uint32_t versionnotes_omitted(void);
uint32_t versionnotes_since_build(void);
const char *versionnotes_since_name(void);

/* The run model's own callbacks; every other subject declares its commands in its own header. */
bool cmd_help(const char *arg);
bool cmd_serverfiles(const char *arg);
bool cmd_version(const char *arg);
bool cmd_checkupdate(const char *arg);
bool cmd_update(const char *arg);
bool cmd_ui(const char *arg);
bool cmd_can(const char *arg);
bool cmd_baud(const char *arg);
bool cmd_srcdest(const char *arg);
bool cmd_incdest(const char *arg);
bool cmd_node(const char *arg);
bool cmd_forcenode(const char *arg);
bool cmd_sim(const char *arg);
bool cmd_silent(const char *arg);

#ifdef __cplusplus
}
#endif

#endif
