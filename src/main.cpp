// krcan: each command-line option is a command, run in the order given.
#include "main.h"

int main(int argc, char **argv) { return krcan_main(argc, argv); }
