// bench_version's floor: a hello-world linked with libsocketcan, the one library a command-line run
// needs beyond the C and C++ run-times.
#include <libsocketcan.h>

#include <cstdio>

int main(int argc, char **argv)
{
    // Never taken when timed; it keeps the library linked whatever the linker's --as-needed.
    if (argc > 1) return can_do_stop(argv[1]);
    std::puts("hello, world");
    return 0;
}
