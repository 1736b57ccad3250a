// krcan: each command-line option is a command, run in the order given.
#include "run/main.h"
#include "ui/kr_uiconfwindow.h"

int main(int argc, char **argv)
{
    kr_ui_confwindow_set_impl(kr_uiconfwindow_run);
    return krcan_main(argc, argv);
}
