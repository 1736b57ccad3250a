// The command line as a whole: the check that accepts it before any command runs (option names,
// values, numbers, node-id postfixes, the loose words), then the walk that runs each option's
// callback in order. Runs before the scheduler starts.
#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "params/saveparam.h"
#include "run/commands.h"
#include "run/main.h"
#include "system/system.h"

// ---- The command line's words ----

namespace {

struct words_claim_st {
    const char *cmd;
    unsigned how;
};
constexpr uint32_t WORD_CLAIMS_MAX = 8;
words_claim_st word_claims[WORD_CLAIMS_MAX];
uint32_t word_claim_count = 0;

struct word_hint_st {
    const char *word;
    const char *cmd;
};
constexpr uint32_t WORD_HINTS_MAX = 16;
word_hint_st word_hints[WORD_HINTS_MAX];
uint32_t word_hint_count = 0;

bool help_asked = false;
std::vector<char *> given_order; // argv before getopt_long moved its loose words

// A callback may still refuse the line after an earlier one acted: what lasts waits for the end.
bool walking = false;
std::vector<std::function<void()>> waiting_effects;

// The loose words from..to quoted for a message, each cut to a readable length.
std::string quoted_words(uint32_t from, uint32_t to)
{
    std::string out;
    for (uint32_t i = from; i < to; i++) {
        std::string w = dev.nonopt_argv[i];
        if (w.size() > 60) w = w.substr(0, 57) + "...";
        out += (out.empty() ? "'" : ", '") + w + "'";
    }
    return out;
}

// Each word after the options belongs to exactly one command: a word nothing reads would be lost
// silently, and one that two commands read would reach the wrong one.
bool loose_words_taken(void)
{
    uint32_t n = dev.argv_count;
    if (n == 0) return true;
    if (word_claim_count >= 2) {
        const words_claim_st *file = nullptr;
        for (uint32_t i = 0; i < word_claim_count && i < WORD_CLAIMS_MAX && !file; i++)
            if (word_claims[i].how & CMDLINE_WORDS_FILE) file = &word_claims[i];
        // Only a command that takes a file from the words can be given it another way.
        std::string how = file ? std::string("Give each file with its own --") + file->cmd + "=FILE."
                               : std::string("Give each of them in a run of its own.");
        std::string who = std::strcmp(word_claims[0].cmd, word_claims[1].cmd) == 0
                              ? std::string("two '") + word_claims[0].cmd + "' commands"
                              : std::string("both '") + word_claims[0].cmd + "' and '" + word_claims[1].cmd + "'";
        job_error("ERROR: the words after the options (%s) would be taken by %s, but they can belong to "
                  "only one command; nothing was run. %s\n",
                  quoted_words(0, n).c_str(), who.c_str(), how.c_str());
        return false;
    }
    uint32_t taken = word_claim_count == 0 ? 0 : (word_claims[0].how & CMDLINE_WORDS_FIRST) ? 1 : n;
    if (taken < n) {
        job_error("ERROR: nothing on the command line takes %s; nothing was run.\n", quoted_words(taken, n).c_str());
        for (uint32_t h = 0; h < word_hint_count; h++)
            for (uint32_t i = taken; i < n; i++)
                if (dev.nonopt_argv[i] == word_hints[h].word)
                    std::printf("To give '%s' its value, write --%s=%s.\n", word_hints[h].cmd, word_hints[h].cmd,
                                word_hints[h].word);
        return false;
    }
    if (word_claims[0].how & CMDLINE_WORDS_PATHS)
        for (uint32_t i = 0; i < taken; i++)
            if (std::strlen(dev.nonopt_argv[i]) >= DEV_PATH_LEN) {
                job_error("ERROR: the path %s for '%s' is longer than %u characters; nothing was "
                          "run.\n",
                          quoted_words(i, i + 1).c_str(), word_claims[0].cmd, (unsigned)DEV_PATH_LEN - 1);
                return false;
            }
    return true;
}

// ---- Accepting the command line ----

struct option_table_st {
    struct option longs[COMMANDS_COUNT + 1];
    char shorts[512];
};

const option_table_st &option_table(void)
{
    static option_table_st t;
    static bool built = false;
    if (built) return t;
    size_t short_len = 0;
    for (uint32_t i = 0; i < COMMANDS_COUNT; i++) {
        const commands_st &row = commands[i];
        int value = row.cmd_short ? (int)(unsigned char)row.cmd_short : (int)i;
        t.longs[i] = {row.cmd_long, (int)row.args, nullptr, value};
        if (value > 96) {
            const char *suffix = row.args == ARG_REQUIRE ? ":" : row.args == ARG_OPTIONAL ? "::" : "";
            short_len += (size_t)std::snprintf(t.shorts + short_len, sizeof t.shorts - short_len, "%c%s", (char)value,
                                               suffix);
        }
    }
    t.longs[COMMANDS_COUNT] = {nullptr, 0, nullptr, 0};
    built = true;
    return t;
}

// One step of the walk: the row getopt_long returned (null for '?'), its argument, and whether the
// argument was a word of its own.
struct cmdline_opt_st {
    const commands_st *row;
    const char *arg;
    bool arg_own_word;
    int longindex;
};

bool next_option(int argc, char **argv, cmdline_opt_st *o)
{
    const option_table_st &t = option_table();
    o->longindex = -1;
    int c = getopt_long(argc, argv, t.shorts, t.longs, &o->longindex);
    if (c == -1) return false;
    o->row = nullptr;
    o->arg = optarg;
    o->arg_own_word = optarg && optind >= 1 && optarg == argv[optind - 1];
    if (c == '?') return true;
    for (uint32_t i = 0; i < COMMANDS_COUNT && !o->row; i++) {
        const commands_st &row = commands[i];
        if (row.cmd_short ? (unsigned char)row.cmd_short == c : (int)i == c) o->row = &row;
    }
    return true;
}

// The word an option was given as: getopt_long has not moved it yet.
const char *option_word(char **argv, const cmdline_opt_st &o) { return argv[optind - (o.arg_own_word ? 2 : 1)]; }

// A word that is one of the tool's own options: a whole long name, or a short letter.
bool is_option_word(const char *w)
{
    if (w[0] != '-' || w[1] == '\0') return false;
    if (w[1] != '-') {
        for (const commands_st &row : commands)
            if (row.cmd_short > 96 && row.cmd_short == w[1]) return true;
        return false;
    }
    std::string name = std::string(w + 2).substr(0, std::string(w + 2).find('='));
    for (const commands_st &row : commands)
        if (name == row.cmd_long) return true;
    return false;
}

void refuse_option(const char *word, const char *why)
{
    job_error("ERROR: the option '%s' %s; nothing was run. Run --help to list every command.\n", word, why);
}

// The word that getopt_long could not take (it has said why on standard error).
void refuse_bad_option(int argc, char **argv)
{
    std::string word;
    if (optind > 0 && optind <= argc && std::strncmp(argv[optind - 1], "--", 2) == 0)
        word = std::string(argv[optind - 1]).substr(0, std::string(argv[optind - 1]).find('='));
    else if (optopt > ' ' && optopt < 127)
        word = std::string("-") + (char)optopt;
    job_error("ERROR: the option %s%s%sis unknown or lacks its argument (see above); nothing was run. "
              "Run --help to list every command.\n",
              word.empty() ? "" : "'", word.c_str(), word.empty() ? "" : "' ");
}

// How a command takes the words after the options, and which node-id postfix its file argument carries.
enum words_e { WORDS_NONE, WORDS_ALL, WORDS_FILE, WORDS_FILES };
enum postfix_e { POSTFIX_NONE, POSTFIX_ONE, POSTFIX_LIST };
struct row_rule_st {
    const char *option;
    words_e words;
    postfix_e postfix;
};
const row_rule_st row_rules[] = {
    {"dev", WORDS_NONE, POSTFIX_ONE},           {"loadbin", WORDS_FILE, POSTFIX_ONE},
    {"loadbinwfr", WORDS_FILE, POSTFIX_ONE},    {"segloadbin", WORDS_FILE, POSTFIX_ONE},
    {"segloadbinwfr", WORDS_FILE, POSTFIX_ONE}, {"krloadbin", WORDS_FILE, POSTFIX_ONE},
    {"krloadbinwfr", WORDS_FILE, POSTFIX_ONE},  {"loadesp32", WORDS_FILE, POSTFIX_ONE},
    {"loadmedia", WORDS_FILES, POSTFIX_ONE},    {"loadparam", WORDS_FILES, POSTFIX_LIST},
    {"terminal", WORDS_ALL, POSTFIX_NONE},      {"zbterminal", WORDS_ALL, POSTFIX_NONE},
    {"saveparam", WORDS_ALL, POSTFIX_NONE},     {"saveparamall", WORDS_ALL, POSTFIX_NONE},
};

const row_rule_st *row_rule(const char *option)
{
    for (const row_rule_st &r : row_rules)
        if (std::strcmp(r.option, option) == 0) return &r;
    return nullptr;
}

bool postfix_fits(postfix_e kind, const char *text)
{
    uint8_t list[127];
    uint32_t n = 0;
    if (kind == POSTFIX_ONE) return cmdline_parse_nodeid_arg(text, nullptr, 0, nullptr);
    if (kind == POSTFIX_LIST) return cmdline_parse_nodeid_list(text, nullptr, 0, list, sizeof list, &n);
    return true;
}

// The esp32 option's "<offset>=<file>": the offset is a command-line number too.
bool esp32_offset_fits(const char *arg)
{
    const char *eq = std::strchr(arg, '=');
    int64_t v = 0;
    return eq && cmdline_read_number(std::string(arg, (size_t)(eq - arg)).c_str(), 0, UINT32_MAX, &v);
}

// What an option's argument must be: a number in range, a value, an offset, a node-id postfix.
bool argument_fits(const commands_st &row, const char *arg)
{
    const char *name = row.cmd_long;
    int64_t v = 0;
    bool is_text = false;
    if (!arg) return true;
    if (cmdline_option_has_number(name)) return cmdline_option_number(name, arg, &v);
    if (std::strcmp(name, "sdowrite") == 0 && !cmdline_read_value(arg, false, &v, &is_text)) {
        cmdline_refuse_value(name, arg);
        return false;
    }
    if (std::strcmp(name, "esp32") == 0 && !esp32_offset_fits(arg)) {
        job_error("ERROR: invalid offset in '%s' for --esp32: give <offset>=<file> with a whole number from 0 "
                  "to 0xffffffff.\n",
                  arg);
        return false;
    }
    const row_rule_st *rule = row_rule(name);
    if (rule && arg[0] && !postfix_fits(rule->postfix, arg)) {
        job_error("ERROR: invalid node id in '%s' for --%s; it must be in the range 1..127 (0x1..0x7f).\n", arg, name);
        return false;
    }
    return true;
}

// Which words after the options a command takes (cmdline_take_words), as its callback will read them.
void claim_words(const commands_st &row, const char *arg, int argc, char **argv)
{
    if (std::strcmp(row.cmd_long, "help") == 0) {
        if (!arg && optind < argc && argv[optind][0] != '-') cmdline_take_words(CMDLINE_WORDS_FIRST);
        return;
    }
    const row_rule_st *rule = row_rule(row.cmd_long);
    int how = -1;
    if (rule && rule->words == WORDS_ALL) how = 0;
    if (rule && (rule->words == WORDS_FILE || rule->words == WORDS_FILES))
        how = cmdline_file_words(arg, rule->words == WORDS_FILE);
    if (how >= 0) cmdline_take_words((unsigned)how);
}

// A file taken from the words carries its node-id postfix as the option's argument would.
bool claimed_words_fit(void)
{
    if (word_claim_count == 0 || dev.argv_count == 0) return true;
    const row_rule_st *rule = row_rule(word_claims[0].cmd);
    if (!rule || rule->postfix == POSTFIX_NONE || !(word_claims[0].how & CMDLINE_WORDS_PATHS)) return true;
    uint32_t n = (word_claims[0].how & CMDLINE_WORDS_FIRST) ? 1 : dev.argv_count;
    for (uint32_t i = 0; i < n && i < dev.argv_count; i++)
        if (!postfix_fits(rule->postfix, dev.nonopt_argv[i])) {
            job_error("ERROR: invalid node id in '%s' for --%s; it must be in the range 1..127 (0x1..0x7f); "
                      "nothing was run.\n",
                      dev.nonopt_argv[i], word_claims[0].cmd);
            return false;
        }
    return true;
}

// The words getopt_long has moved behind the options.
void store_loose_words(int argc, char **argv)
{
    dev.argv_count = optind < argc ? (uint32_t)(argc - optind) : 0;
    dev.nonopt_argv = optind < argc ? &argv[optind] : nullptr;
}

// One option as the check reads it: a whole name, a value that is no option, an argument that fits.
bool option_accepted(int argc, char **argv, const cmdline_opt_st &o)
{
    if (!o.row) {
        refuse_bad_option(argc, argv);
        return false;
    }
    const char *word = option_word(argv, o);
    // getopt_long takes any unique beginning of a name: --clear would clear a device's media.
    if (o.longindex >= 0) {
        std::string given = std::string(word + 2).substr(0, std::string(word + 2).find('='));
        if (given != o.row->cmd_long) {
            std::string w = "--" + given;
            refuse_option(w.c_str(), "is unknown: options are given by their whole names");
            return false;
        }
    }
    // "--user --passwd" would store a mistyped option as the user name.
    if (o.arg_own_word && (is_option_word(o.arg) || std::strncmp(o.arg, "--", 2) == 0)) {
        job_error("ERROR: '%s' lacks its value: '%s' %s; nothing was run. A value that starts with '-' is given "
                  "as --%s=VALUE.\n",
                  word, o.arg, is_option_word(o.arg) ? "is an option" : "starts as an option does", o.row->cmd_long);
        return false;
    }
    if (!argument_fits(*o.row, o.arg)) return false;
    claim_words(*o.row, o.arg, argc, argv);
    // "--listen 2" leaves the 2 as a loose word; remembered to say how to give it.
    if (o.row->args == ARG_OPTIONAL && !o.arg && optind < argc && argv[optind][0] != '-' &&
        word_hint_count < WORD_HINTS_MAX)
        word_hints[word_hint_count++] = {argv[optind], o.row->cmd_long};
    if (std::strcmp(o.row->cmd_long, "help") == 0) help_asked = true;
    return true;
}

} // namespace

void cmdline_take_words(unsigned how)
{
    if (word_claim_count < WORD_CLAIMS_MAX)
        word_claims[word_claim_count] = {current_command ? current_command->cmd_long : "?", how};
    word_claim_count++;
}

bool cmdline_accept(int argc, char **argv)
{
    // A bare run would do nothing and say nothing: a first try deserves the way in. Said where every
    // refused command line is said.
    if (argc <= 1) {
        job_error_plain("Usage: krcan [OPTION]... (each option is a command, run in the order given)\n"
                        "Run 'krcan --help' to list every command.\n");
        return false;
    }
    given_order.assign(argv, argv + argc);
    word_claim_count = 0;
    word_hint_count = 0;
    help_asked = false;
    optind = 0; // a fresh walk: getopt_long keeps its own state between walks otherwise
    opterr = 1;
    cmdline_opt_st o;
    while (next_option(argc, argv, &o)) {
        current_command = o.row;
        bool ok = option_accepted(argc, argv, o);
        current_command = nullptr;
        if (!ok) return false;
        params_note_option(o.row->cmd_long, o.arg);
    }
    store_loose_words(argc, argv);
    if (help_asked) return true; // help reads the words itself and runs nothing else
    return loose_words_taken() && claimed_words_fit() && params_check_command_line();
}

// Each option's callback, in command-line order, once the whole line was accepted; their lasting
// effects only once the last one has accepted it too. With help on the line only help runs: asking
// for help never touches a device or a file.
bool cmdline_run(int argc, char **argv)
{
    // The line as it was given: getopt_long moves the loose words as it goes, and help looks at the
    // word after it as the check saw it.
    if (given_order.size() == (size_t)argc) std::copy(given_order.begin(), given_order.end(), argv);
    optind = 0;
    opterr = 0; // the check has reported everything there is
    waiting_effects.clear();
    walking = true;
    bool ok = true;
    cmdline_opt_st o;
    while (ok && next_option(argc, argv, &o)) {
        if (!o.row) {
            ok = false;
            break;
        }
        if (help_asked && o.row->callback != cmd_help) continue;
        current_command = o.row;
        ok = o.row->callback(o.arg);
        current_command = nullptr;
        if (!ok) std::printf("command '%s' returned with FALSE, terminating.\n", o.row->cmd_long);
    }
    walking = false;
    std::vector<std::function<void()>> effects;
    effects.swap(waiting_effects);
    if (!ok) return false;
    for (std::function<void()> &effect : effects) effect();
    store_loose_words(argc, argv);
    return true;
}

bool cmdline_help_asked(void) { return help_asked; }

void cmdline_when_accepted(std::function<void()> effect)
{
    if (walking)
        waiting_effects.push_back(std::move(effect));
    else
        effect();
}
