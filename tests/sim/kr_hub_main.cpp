// kr_hub: the virtual CAN bus as a program. Prints the port it listens on as the first line of
// standard output, then serves until SIGINT or SIGTERM.
#include "sim_hub.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static void usage(FILE *to)
{
    fprintf(to, "usage: kr_hub [--port N] [--bitrate BPS] [--quiet]\n"
                "  --port N       TCP port on 127.0.0.1 (default 0: a free one; printed on stdout)\n"
                "  --bitrate BPS  deliver frames no faster than a CAN bus at BPS carries them (default 0: unpaced)\n"
                "  --quiet        no messages about clients and dropped input\n");
}

static bool parse_num(const char *s, unsigned long max, unsigned long &v)
{
    char *end = nullptr;
    errno = 0;
    v = strtoul(s, &end, 10);
    return s[0] != '\0' && *end == '\0' && errno == 0 && v <= max && s[0] != '-';
}

int main(int argc, char **argv)
{
    sim_hub_config_st cfg;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        unsigned long v;
        if ((a == "--port" || a == "--bitrate") && i + 1 < argc) {
            if (!parse_num(argv[++i], a == "--port" ? 65535 : 10000000, v)) {
                fprintf(stderr, "kr_hub: bad value '%s' for %s\n", argv[i], a.c_str());
                return 2;
            }
            if (a == "--port")
                cfg.port = (uint16_t)v;
            else
                cfg.bitrate = (uint32_t)v;
        } else if (a == "--quiet") {
            cfg.quiet = true;
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else {
            fprintf(stderr, "kr_hub: unknown option '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    // The hub thread inherits the mask, so only sigwait below sees these.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::string err;
    sim_hub_st *hub = sim_hub_start(cfg, err);
    if (hub == nullptr) {
        fprintf(stderr, "kr_hub: %s\n", err.c_str());
        return 1;
    }
    printf("%u\n", sim_hub_port(hub));
    fflush(stdout);
    if (!cfg.quiet)
        fprintf(stderr, "kr_hub: listening on 127.0.0.1:%u, %s\n", sim_hub_port(hub),
                cfg.bitrate ? (std::to_string(cfg.bitrate) + " bit/s").c_str() : "unpaced");
    int sig = 0;
    sigwait(&set, &sig);
    sim_hub_stop(hub);
    return 0;
}
