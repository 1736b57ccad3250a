// Placeholder entry point until the run model lands.
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("krcan %s\n", KRCAN_VERSION);
        return 0;
    }
    std::printf("krcan %s: a service tool for CANopen devices\n", KRCAN_VERSION);
    return 0;
}
