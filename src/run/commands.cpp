// The command table and the callbacks of the channel, baud-rate, node-id, window, simulator, version and
// update commands, with the help printer.
#include "run/commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "run/main.h"
#include "bus/find.h"
#include "bus/listen.h"
#include "bus/sdo.h"
#include "bus/terminal.h"
#include "database/db.h"
#include "database/export.h"
#include "firmware/esp32.h"
#include "firmware/firmware_loader.h"
#include "firmware/media.h"
#include "joystick/joystick.h"
#include "online/account.h"
#include "online/fleet.h"
#include "online/selfupdate.h"
#include "params/loadparam.h"
#include "params/saveparam.h"
#include "system/package.h"
#include "system/simrun.h"
#include "system/system.h"
#include "ui/krui.h"
#include "ui/kr_uiconfwindow.h"
#include "kr_bytes.h"

bool can_given = false;
bool ui_given = false;
int32_t ui_task_index = -1;
int32_t sim_task_index = -1;
volatile bool sim_commands_follow = false;
volatile bool sim_ready = false;
volatile bool sim_started = false;
volatile bool sim_keeper_done = false;

// What the fleet commands' help adds: this build links no fleet broker client.
#define NO_FLEET_CLIENT " This build has no fleet broker client, so it only says so and the run ends with status 1."

// One entry per line group, laid out by hand.
// clang-format off
const commands_st commands[COMMANDS_COUNT] = {
    {"help", 'h',
     "Displays application info and help. Given the name of a single command as its argument (e.g. '--help loadparam', '-h loadparam' or '--help --loadparam'), only that command's description is shown. Without an argument every command is listed.",
     ARG_OPTIONAL, cmd_help},
    {"serverfiles", 0,
     "Lists the files the account in *user* / *pwd* can see on the file server, as the UI's \"Server files\" panel does, and prints how long each step took. Downloads nothing: only the directory listings are fetched, which is what the panel reads too.\n"
     "Useful for telling a slow file server from a slow network, and for seeing what an account actually holds without opening the UI. "
     "This build has no file-server client, so it lists nothing and the run ends with status 1.",
     ARG_NONE, cmd_serverfiles},
    {"version", 'V',
     "Prints this krcan's version and exits. Two numbers: the readable release name (e.g. '1.1.1-204-g5746') and, in brackets, the build number that *checkupdate* compares against. The build number counts every commit in the version's history, so it only ever grows; the name counts commits since the last release and restarts at each one.",
     ARG_NONE, cmd_version},
    {"checkupdate", 0,
     "Asks the Korvane file server whether a newer krcan has been published and reports what it finds, without installing anything. krcan is public software, so this needs no account and ignores the one in *user* / *pwd*. Install what it finds with *update*.\n"
     "The UI makes the same check once in the background when it opens and writes what it finds into its log; a check that fails there is silent, which is what this command is for. "
     "This build cannot install what it finds, whatever its answer says of *update*: build the new krcan from its source instead.",
     ARG_NONE, cmd_checkupdate},
    {"update", 0,
     "Downloads the newest published krcan and installs it over this one.\n"
     "The download is checked against the size and the checksum the server publishes before anything is replaced, and the krcan it replaces is kept next to it as 'krcan.old', so a bad build can be put back by hand. The running krcan keeps running from the file it started with: restart it to use the new one.\n"
     "A machine-wide install (install.sh --system) is owned by root, so it takes 'sudo krcan --update'. A per-user install needs no privileges. "
     "This build has no install.sh and cannot replace itself: it reports a newer build, which is built from its source, and the run ends with status 1.",
     ARG_NONE, cmd_update},
    {"ui", 'u',
     "Opens the graphical configuration window for selecting the CAN device and baudrate, followed by krcan's main display showing the system and its devices. Blocks until the window is closed.",
     ARG_NONE, cmd_ui},
    {"sys", 0,
     "Loads a system configuration (.krsys) file. The system file bundles the devices of the whole system. Individual --dev files can still be given alongside it; they are added on top of the system file's devices.",
     ARG_REQUIRE, cmd_system},
    {"dev", 0,
     "Adds a device configuration (.krdev) file to the system, given as '<path>:<nodeid>' (e.g. '/path/to/dev.krdev:0x10'). The ':<nodeid>' suffix is optional; when omitted the default node id is read from the .krdev file, unless a *nodeid* option follows the device, which assigns the node id to it just like the suffix does. Can be given multiple times, and also together with --sys, in which case the devices are added on top of the system file's ones.",
     ARG_REQUIRE, cmd_device},
    {"savesys", 0,
     "Saves the system to a system configuration (.krsys) file, the same file the UI's \"Save system configuration\" button writes. The system is made of the devices given before this with *dev* and *sys*. krcan first listens for a moment for the devices' heartbeats on the bus: the file bundles the .krdev package of every device which is online, together with the parameters read from it, and a device which is not heard from is left out with a warning. E.g. 'krcan --dev a.krdev:0x10 --dev b.krdev:0x20 --savesys machine.krsys'. Not supported on Linux.",
     ARG_REQUIRE, cmd_savesys},
    {"can", 'c',
     "Selects the CAN-USB hardware for communication. Defaults to can0. "
     "On Linux that is a SocketCAN interface (can0, vcan0, ...) or a socketcand daemon on another machine, given as 'socketcand://HOST[:PORT]/BUS' (port 29536 when omitted).",
     ARG_REQUIRE, cmd_can},
    {"baud", 'b',
     "Sets the baudrate for the CAN-bus. Refer to CiA specification for valid values. Defaults to 250 kbaud.",
     ARG_REQUIRE, cmd_baud},
    {"srcdest", 0,
     "Sets the source destination file path. This is used by various commands which output data.",
     ARG_REQUIRE, cmd_srcdest},
    {"incdest", 0,
     "Sets the include destination file path. This is used by various commands which output data.",
     ARG_REQUIRE, cmd_incdest},
    {"nodeid", 'n',
     "Selecs the CANopen Node via Node ID. This should be called prior to commands which Operate on CANopen nodes, such as *loadbin*. Never changes the node id of the device; *loadparam* loads the parameters to this node id and, for parameter files which contain more than one device, ignores this option altogether. When given after a *dev* file, the node id is also assigned to that device, i.e. '--dev file.krdev -n 0x14' means the same as '--dev file.krdev:0x14'.",
     ARG_REQUIRE, cmd_node},
    {"forcenodeid", 0,
     "Selects the CANopen Node via Node ID like *nodeid*, but forces it: every command which follows targets this node id instead of the one its device package, system file or parameter file carries. A single node id cannot name any one of several devices, so it is ignored, with a warning, by a command which operates on more than one device (e.g. a whole *sys* system, or a parameter file holding more than one device). It also permits *loadparam* to assign the node id found from the parameter file to the selected device. That node id is written to the device only after the user has confirmed it with an empty line, and it applies only after the device's settings have been saved and the device rebooted. Like *nodeid*, when given after a *dev* file it also assigns the node id to that device, i.e. '--dev file.krdev --forcenodeid 0x14' means the same as '--dev file.krdev:0x14'. The load commands take the same node id in their own '<file>:<nodeid>' postfix, i.e. '--loadparam params.json:0xd' means the same as '--forcenodeid 0xd --loadparam params.json'. The selection ends with the command line: it does not carry into *ui*, where every device is addressed by its own node id.",
     ARG_REQUIRE, cmd_forcenode},
    {"loadbin", 'L',
     "Loads firmware to KR device with a CANopen 302 compatible bootloader. The argument may be a raw firmware binary (the device node id is then selected with the 'node' option), a .krdev package (its FIRMWARE binary is flashed), or a .krsys package (every device inside is flashed). If the argument is omitted, the devices loaded earlier with --dev / --sys are flashed, or, when no devices were given, the binary given with 'firmware'.\n"
     "A device given with *dev* is addressed with the node id in its\n"
     "'<file>:0x14' postfix, or with a *nodeid* option given after the\n"
     "device; a device coming from *sys* uses the node id stored in the\n"
     "system file.\n"
     "The file argument may carry a ':<nodeid>' postfix (e.g. 'file:0xd'),\n"
     "which selects the target node exactly as a *forcenodeid* option given\n"
     "before this command would.",
     ARG_OPTIONAL, cmd_load},
    {"loadbinwfr", 0,
     "Loads firmware to KR device with a CANopen 302 compatible bootloader by waiting for NMT boot up message. Accepts a raw binary, a .krdev or .krsys package, or no argument to flash the devices loaded earlier with --dev / --sys, or the binary given with 'firmware' when no devices were given. The device node id should be selected with 'node' option prior to this command.\n"
     "A device given with *dev* is addressed with the node id in its\n"
     "'<file>:0x14' postfix, or with a *nodeid* option given after the\n"
     "device; a device coming from *sys* uses the node id stored in the\n"
     "system file.\n"
     "The file argument may carry a ':<nodeid>' postfix (e.g. 'file:0xd'),\n"
     "which selects the target node exactly as a *forcenodeid* option given\n"
     "before this command would.",
     ARG_OPTIONAL, cmd_loadwfr},
    {"segloadbin", 0,
     "Loads firmware to KR device with a CANopen 302 compatible bootloader. Accepts a raw binary, a .krdev or .krsys package, or no argument to flash the devices loaded earlier with --dev / --sys, or the binary given with 'firmware' when no devices were given. The device node id should be selected with 'node' option prior to this command.\n"
     "A device given with *dev* is addressed with the node id in its\n"
     "'<file>:0x14' postfix, or with a *nodeid* option given after the\n"
     "device; a device coming from *sys* uses the node id stored in the\n"
     "system file.\n"
     "The file argument may carry a ':<nodeid>' postfix (e.g. 'file:0xd'),\n"
     "which selects the target node exactly as a *forcenodeid* option given\n"
     "before this command would.\n"
     "Uses the SDO segmented transfer to load the binary. Note that this is more unsafe method compared to \"loadbin\".",
     ARG_OPTIONAL, cmd_segload},
    {"segloadbinwfr", 0,
     "Loads firmware to KR device with a CANopen 302 compatible bootloader by waiting for NMT boot up message. Accepts a raw binary, a .krdev or .krsys package, or no argument to flash the devices loaded earlier with --dev / --sys, or the binary given with 'firmware' when no devices were given. The device node id should be selected with 'node' option prior to this command.\n"
     "A device given with *dev* is addressed with the node id in its\n"
     "'<file>:0x14' postfix, or with a *nodeid* option given after the\n"
     "device; a device coming from *sys* uses the node id stored in the\n"
     "system file.\n"
     "The file argument may carry a ':<nodeid>' postfix (e.g. 'file:0xd'),\n"
     "which selects the target node exactly as a *forcenodeid* option given\n"
     "before this command would.\n"
     "Uses the SDO segmented transfer to load the binary. Note that this is more unsafe method compared to \"loadbinwfr\".",
     ARG_OPTIONAL, cmd_segloadwfr},
    {"krloadbin", 0,
     "Loads firmware to KR device with an KR compatible bootloader. Accepts a raw binary, a .krdev or .krsys package, or no argument to flash the devices loaded earlier with --dev / --sys, or the binary given with 'firmware' when no devices were given. The device node id should be selected with 'node' option prior to this command.\n"
     "A device given with *dev* is addressed with the node id in its\n"
     "'<file>:0x14' postfix, or with a *nodeid* option given after the\n"
     "device; a device coming from *sys* uses the node id stored in the\n"
     "system file.\n"
     "The file argument may carry a ':<nodeid>' postfix (e.g. 'file:0xd'),\n"
     "which selects the target node exactly as a *forcenodeid* option given\n"
     "before this command would.",
     ARG_OPTIONAL, cmd_krload},
    {"krloadbinwfr", 0,
     "Loads firmware to KR device with an KR compatible bootloader by waiting for NMT boot up message. Accepts a raw binary, a .krdev or .krsys package, or no argument to flash the devices loaded earlier with --dev / --sys, or the binary given with 'firmware' when no devices were given. The device node id should be selected with 'node' option prior to this command.\n"
     "A device given with *dev* is addressed with the node id in its\n"
     "'<file>:0x14' postfix, or with a *nodeid* option given after the\n"
     "device; a device coming from *sys* uses the node id stored in the\n"
     "system file.\n"
     "The file argument may carry a ':<nodeid>' postfix (e.g. 'file:0xd'),\n"
     "which selects the target node exactly as a *forcenodeid* option given\n"
     "before this command would.",
     ARG_OPTIONAL, cmd_krloadwfr},
    {"listen", 'l',
     "Listens the CAN bus for x seconds, listing all messages received.",
     ARG_OPTIONAL, cmd_listen},
    {"sim", 0,
     "Runs the Linux simulator of every device in the loaded system as a separate process (give --sys or --dev first), each connected to the selected CAN device (--can) with the device's node id. krcan keeps running to monitor the simulators and kills them when it exits. Linux only. This is the same action as the UI's \"Run simulator\" button.\n"
     "The commands given after this one are run once the simulators are up and answering on the bus, so they address the simulated devices: '--sim --loadparam params.yml' starts the simulators and loads the parameters onto them. Only after the last command has run does krcan settle into monitoring them, until Ctrl-C.\n"
     "A device given with *dev* is addressed with the node id in its\n"
     "'<file>:0x14' postfix, or with a *nodeid* option given after the\n"
     "device; a device coming from *sys* uses the node id stored in the\n"
     "system file.\n"
     "This build has no simulator runner: whatever its messages say of the CAN device or the packages, it starts no simulator, the later commands run at once and the run ends with status 1.",
     ARG_NONE, cmd_sim},
    {"find", 'f',
     "Searches the CAN bus for Korvane devices. Clears any existing devices, listens for CANopen heartbeats for 2 seconds and, for every OPERATIONAL node whose vendor id is Korvane's, reads its product code and adds it as a new device (with an empty configuration-file path).",
     ARG_NONE, cmd_find},
    {"terminal", 't',
     "Communicates with the device chosen with **nodeid** via Korvane SDO reply protocol.",
     ARG_NONE, cmd_terminal},
    {"zbterminal", 0,
     "Communicates with the zb device chosen with **nodeid** via deprecated ZB terminal protocol.",
     ARG_NONE, cmd_zbterminal},
    {"db", 'd',
     "Provides krcan a CANOpen device database file as an argument.",
     ARG_REQUIRE, cmd_db},
    {"exportc", 0,
     "Exports database given with --db to KR embedded source file with a given name.\n"
     "The source file will be rewritten if it exists.",
     ARG_REQUIRE, cmd_exportc},
    {"exporth", 0,
     "Exports database given with --db to KR embedded header file with a given name.\n"
     "The header file will be rewritten if it exists.",
     ARG_REQUIRE, cmd_exporth},
    {"export", 'e',
     "Exports the database loaded with --db into a C .h and .c files. \n"
     "The export location is defined with --srcdest and --incdest.",
     ARG_REQUIRE, cmd_export},
    {"loadmedia", 0,
     "Loads media with the KR media download protocol. The argument may be a media\n"
     "file, a directory of media files (all recognized files in it are loaded;\n"
     "subdirectories are not), a .krdev package (its bundled media is loaded), or a\n"
     ".krsys package (each device's bundled media is loaded). If the argument is\n"
     "omitted, the bundled media of the devices loaded earlier with --dev / --sys is\n"
     "loaded. Devices whose package bundles no media are reported with a warning.\n"
     "A device given with *dev* is addressed with the node id in its\n"
     "'<file>:0x14' postfix, or with a *nodeid* option given after the\n"
     "device; a device coming from *sys* uses the node id stored in the\n"
     "system file.\n"
     "The file argument may carry a ':<nodeid>' postfix (e.g. 'file:0xd'),\n"
     "which selects the target node exactly as a *forcenodeid* option given\n"
     "before this command would.",
     ARG_OPTIONAL, cmd_loadmedia},
    {"firmware", 0,
     "Sets the firmware binary which *makekrdev* packages into the .krdev file.\n"
     "Mandatory for *makekrdev*. The *loadbin* command family flashes this\n"
     "binary as well when it is given no file of its own and no devices were\n"
     "loaded with --dev / --sys.",
     ARG_REQUIRE, cmd_firmware},
    {"linuxbin", 0,
     "Sets the Linux simulator executable which *makekrdev* packages into the\n"
     ".krdev file. Optional: a package without it simply cannot be simulated.",
     ARG_REQUIRE, cmd_linuxbin},
    {"bootloader", 0,
     "Sets the bootloader binary which *makekrdev* packages into the .krdev file.\n"
     "Optional.",
     ARG_REQUIRE, cmd_bootloader},
    {"media", 0,
     "Adds a media file, or a directory of media files, into the media which\n"
     "*makekrdev* packages into the .krdev file. Of a directory the files in it\n"
     "are packaged, not its subdirectories. Optional, and can be given more than\n"
     "once; all of them end up in the same media directory of the package, which\n"
     "*loadmedia* then loads onto the device.",
     ARG_REQUIRE, cmd_media},
    {"mediadir", 0,
     "Sets the name which the media directory gets in the .krdev package which\n"
     "*makekrdev* writes, i.e. the value of the manifest's MEDIA key. Optional,\n"
     "defaults to 'media'. The device stores its media under names relative to\n"
     "the package root, so this is the directory prefix which the firmware asks\n"
     "its media by: a build asking for 'media_hd/icon_hd.png' needs its package\n"
     "made with '--mediadir media_hd'.",
     ARG_REQUIRE, cmd_mediadir},
    {"esp32", 0,
     "Adds an ESP32 flash image into the .krdev package which *makekrdev* writes,\n"
     "given as <offset>=<file>, e.g. '0x60000=esp-at.bin'. Optional, and can be\n"
     "given more than once. The images go into the package's 'esp32' directory\n"
     "and the manifest's ESP32 key maps each flash offset to its image, in the\n"
     "form of the \"flash_files\" of esptool's flasher_args.json.",
     ARG_REQUIRE, cmd_esp32},
    {"fwversion", 0,
     "Sets the firmware version string which *makekrdev* stores in the .krdev\n"
     "package. Usually the same git describe based version which the firmware\n"
     "itself was built with. Optional.",
     ARG_REQUIRE, cmd_fwversion},
    {"makekrdev", 0,
     "Writes a .krdev device package to the file given as the argument. The package\n"
     "bundles the device database given with *db* (and every file which the\n"
     "database pulls in with a \"content\" reference) and the firmware binary given\n"
     "with *firmware*; both of them are mandatory and have to be given before this\n"
     "command. The Linux simulator (*linuxbin*), the bootloader binary\n"
     "(*bootloader*), the media files (*media*), the ESP32 flash images (*esp32*)\n"
     "and the firmware version (*fwversion*) are optional and are left out of the package when not given.\n"
     "The directory of the output file is created if it doesn't exist, and the\n"
     "'.krdev' extension is added to the file name when it is missing.\n"
     "This build does not write packages: it says so and the run ends with status 1 before any job.",
     ARG_REQUIRE, cmd_makekrdev},
    {"loadesp32", 0,
     "Flashes the ESP32 module firmware bundled in a .krdev package (see *esp32*)\n"
     "over the module's USB serial port with esptool, which has to be installed\n"
     "(v5 or newer, pip install esptool). The argument is the package, optionally as\n"
     "<file>:<nodeid> naming the device which hosts the module; without one, the\n"
     "device loaded with --dev / --sys whose package bundles ESP32 firmware is\n"
     "flashed. The device is asked over the CAN terminal to leave the module alone\n"
     "for the duration ('esp \"comm\" 0'), and to resume afterwards, which resets\n"
     "the module into the new firmware. The port is the one given with\n"
     "*esp32port*, or else an Espressif USB port found under /dev/serial/by-id.",
     ARG_OPTIONAL, cmd_loadesp32},
    {"esp32port", 0,
     "Sets the serial port which *loadesp32* flashes the ESP32 module through,\n"
     "e.g. /dev/ttyACM0 or COM5. Optional: by default an Espressif USB port is\n"
     "looked for, and when none is found esptool scans the ports itself.",
     ARG_REQUIRE, cmd_esp32port},
    {"clearmedia", 0,
     "Clears the all media in the device specified by the Node-ID.",
     ARG_NONE, cmd_clearmedia},
    {"mindex", 0,
     "Sets the CANOpen Main index for SDO data transfer.",
     ARG_REQUIRE, cmd_mindex},
    {"sindex", 0,
     "Sets the CANOpen Sub index for SDO data transfer.",
     ARG_REQUIRE, cmd_sindex},
    {"datalen", 0,
     "Sets the data length for the CANOpen SDO read/write request.",
     ARG_REQUIRE, cmd_datalen},
    {"sdoread", 0,
     "Reads data from a device with CANOpen SDO request",
     ARG_NONE, cmd_sdoread},
    {"sdoreadstr", 0,
     "Reads string from a device with CANOpen SDO request",
     ARG_NONE, cmd_sdoreadstr},
    {"sdowrite", 0,
     "Writes data to a device with CANOpen SDO request",
     ARG_REQUIRE, cmd_sdowrite},
    {"sdowritestr", 0,
     "Writes string to a device with CANOpen SDO request",
     ARG_REQUIRE, cmd_sdowrite},
    {"loadparam", 0,
     "Writes parameters to KRCan device(s). The argument may be a parameter file, or\n"
     "a .krsys package (each device's bundled parameters are written to it). If the\n"
     "argument is omitted, the bundled parameters of the devices loaded earlier with\n"
     "--sys / --dev are written. .krdev packages are not accepted (they carry no\n"
     "parameters).\n"
     "EMCY messages are suppressed on every target device before the first parameter\n"
     "is written, so no device warns about another one being configured. A device\n"
     "which does not have the parameter is loaded anyway, with a warning. For a\n"
     "whole system the devices are stored and reset together once all of them have\n"
     "been written.\n"
     "A device given with *dev* is addressed with the node id in its\n"
     "'<file>:0x14' postfix, or with a *nodeid* option given after the\n"
     "device; a device coming from *sys* uses the node id stored in the\n"
     "system file.\n"
     "The file argument may carry a ':<nodeid>' postfix (e.g. 'file:0xd'),\n"
     "which selects the target node exactly as a *forcenodeid* option given\n"
     "before this command would.\n"
     "A parameter file may also carry a list of node ids, e.g.\n"
     "'params.yml:0xd:0x7': only the file's devices with those node ids\n"
     "are loaded, each to its own node id. A single node id on a file\n"
     "holding several devices selects the device the same way. Extra\n"
     "parameter files given after the first take their own postfix.",
     ARG_OPTIONAL, cmd_loadparam},
    {"saveparam", 0,
     "Reads parameters from a KRCan device and saves them into the given file.",
     ARG_REQUIRE, cmd_saveparam},
    {"saveparamall", 0,
     "Reads parameters from a KRCan device and saves them into the given file.\n"
     "Reads also CANOpen 301 specified params.",
     ARG_REQUIRE, cmd_saveparamall},
    {"user", 0,
     "Sets the account username stored on this computer and shared by every krcan install (the same value shown in the UI's Account panel). It is saved in plain text and reused by later runs when --user is not given. Equivalent to typing the username in the UI Account panel.",
     ARG_REQUIRE, cmd_user},
    {"pwd", 0,
     "Sets the account password stored on this computer and shared by every krcan install (the same value shown in the UI's Account panel). It is saved in plain text and reused by later runs when --pwd is not given. Equivalent to typing the password in the UI Account panel.",
     ARG_REQUIRE, cmd_pwd},
    {"login", 0,
     "Logs in to the file server and the fleet broker with the account in *user* / *pwd*, as the UI's Account panel does, and says how it went. The remote commands (*remotelist*, *remoteui*, *remotecan*) log in by themselves when no session is open, so this is only needed to check the account." NO_FLEET_CLIENT,
     ARG_NONE, cmd_login},
    {"remotelist", 0,
     "Lists the devices of every fleet the account in *user* / *pwd* holds, as the UI's Fleet tab does: client id, name, uptime, whether remote UI and CAN are on, and when each was last heard from. A device is only known once it publishes, which an idle one does every 5 seconds, so this listens for a while first: the optional argument is how many seconds (default 7)." NO_FLEET_CLIENT,
     ARG_OPTIONAL, cmd_remotelist},
    {"remoteui", 0,
     "Mirrors the display of a fleet device in a window of its own, as the Fleet tab's \"Open remote UI\" does. Clicks and drags in the window touch the device's screen. The argument names the device, as *remotelist* shows it: '<fleet>/<client id>', a client id, or the device's name. Blocks until the window is closed or the device ends the session." NO_FLEET_CLIENT,
     ARG_REQUIRE, cmd_remoteui},
    {"remotecan", 0,
     "Bridges the CAN bus of a fleet device to the netdev krremote0 on this computer, as the Fleet tab's \"Remote CAN\" does. The argument names the device like *remoteui*'s. Blocks until Ctrl-C or until the device ends the session; meanwhile anything that speaks SocketCAN reaches the remote bus, e.g. a second 'krcan -c krremote0 --terminal'. Creating the netdev needs root, which is asked for with sudo." NO_FLEET_CLIENT,
     ARG_REQUIRE, cmd_remotecan},
    {"joystick", 0,
     "Runs the joystick driver: a virtual game controller on this computer whose axes and buttons follow values the system's devices send in their TXPDOs, as configured in the System tab's \"Configure joystick driver\" window. The configuration is the one of the system file given before this with *sys*, or the joystick configuration file given as the argument ('--joystick=joystick.json'). Blocks until Ctrl-C. On Linux the controller is a uinput device, which needs access to /dev/uinput (install.sh installs a udev rule for it); on Windows it is vJoy device 1, which needs the vJoy driver installed. E.g. 'krcan --sys machine.krsys --joystick'. "
     "This build has no install.sh: give your user write access to /dev/uinput yourself, e.g. with a udev rule.",
     ARG_OPTIONAL, cmd_joystick},
    {"silent", 's',
     "Excecutes krcan silent, without logging process information. "
     "Despite its name it does the opposite: krcan prints no progress messages unless this option (or *ui* or *sim*) turns them on.",
     ARG_NONE, cmd_silent},
};
// clang-format on

uint32_t commands_count(void) { return COMMANDS_COUNT; }

// ---- Numbers on the command line ----

namespace {

// The blank, if any, that text starts with: its length in bytes, else 0.
size_t blank_at(const char *text)
{
    switch (text[0]) {
    case ' ':
    case '\t':
    case '\r':
    case '\n':
    case '\v':
    case '\f': return 1;
    case '\xC2': return text[1] == '\xA0' ? 2 : 0; // no-break space in UTF-8
    default: return 0;
    }
}

int digit_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// The words of the options that take a number, with its range and what the number is.
struct option_number_st {
    const char *option;
    int64_t min, max;
    const char *what;
};
const option_number_st option_numbers[] = {
    {"nodeid", 0, 127, "node id"},
    {"forcenodeid", 0, 127, "node id"},
    {"mindex", 0, 0xFFFF, "main index"},
    {"sindex", 0, 0xFF, "sub index"},
    {"datalen", 0, UINT32_MAX, "data length"},
    {"baud", 1, UINT32_MAX, "baud rate"},
    {"listen", 0, (UINT32_MAX - 1) / 1000, "listening time in seconds"}, // 0xFFFFFFFF ms means endless
    {"remotelist", 1, UINT32_MAX / 1000, "listening time in seconds"},
};

const option_number_st *option_number(const char *option)
{
    for (const option_number_st &n : option_numbers)
        if (option && std::strcmp(n.option, option) == 0) return &n;
    return nullptr;
}

} // namespace

namespace {

// The word that is left of text once the blanks around it are dropped: [*begin, *end).
void drop_blanks(const char *text, const char **begin, const char **end)
{
    const char *p = text;
    while (size_t n = blank_at(p)) p += n;
    const char *e = p + std::strlen(p);
    for (bool trimmed = true; trimmed && e > p;) {
        trimmed = false;
        if (e - p >= 2 && e[-2] == '\xC2' && e[-1] == '\xA0') {
            e -= 2;
            trimmed = true;
        } else if (blank_at(e - 1) == 1) {
            e--;
            trimmed = true;
        }
    }
    *begin = p;
    *end = e;
}

bool printable_ascii(char c) { return c >= ' ' && c <= '~'; }

// The character that starts at p: its code point (or the lone byte of broken UTF-8) and its length.
uint32_t utf8_at(const char *p, const char *end, size_t *len)
{
    unsigned char c = (unsigned char)*p;
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1Fu) : n == 3 ? (c & 0x0Fu) : (c & 0x07u);
    for (size_t i = 1; i < n; i++) {
        if (p + i >= end || ((unsigned char)p[i] & 0xC0) != 0x80) n = 0;
        if (n == 0) break;
        cp = cp << 6 | ((unsigned char)p[i] & 0x3Fu);
    }
    *len = n ? n : 1;
    return n ? cp : 0x110000u + c; // above Unicode: a byte that starts no character
}

// The name a user can look the character up by.
std::string char_name(uint32_t cp)
{
    char buf[24];
    if (cp >= 0x110000u)
        std::snprintf(buf, sizeof buf, "byte 0x%02X", (unsigned)(cp - 0x110000u));
    else
        std::snprintf(buf, sizeof buf, "U+%04X", (unsigned)cp);
    return buf;
}

const char *char_kind(uint32_t cp)
{
    if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) return "a control character";
    if (cp == 0x200B || cp == 0x200C || cp == 0x200D || cp == 0x2060 || cp == 0xFEFF || cp == 0xAD)
        return "an invisible format character";
    if (cp == 0xA0 || cp == 0x2007 || cp == 0x202F || cp == 0x3000 || (cp >= 0x2000 && cp <= 0x200A))
        return "a space that is no ASCII space";
    if (cp >= 0xFF10 && cp <= 0xFF19) return "a full-width digit";
    if (cp >= 0x110000u) return "no character of UTF-8";
    return "no ASCII character";
}

} // namespace

bool cmdline_read_number(const char *text, int64_t min, int64_t max, int64_t *out)
{
    if (!text) return false;
    const char *p, *end;
    drop_blanks(text, &p, &end);
    bool negative = p < end && *p == '-';
    if (negative) {
        if (min >= 0) return false;
        p++;
    }
    int base = 10;
    if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (end - p >= 2 && p[0] == '0') {
        base = 8;
        p++;
    }
    if (p == end) return false;
    // The magnitude of INT64_MIN is the largest any range here can need.
    const uint64_t limit = (uint64_t)INT64_MAX + 1;
    uint64_t v = 0;
    for (; p < end; p++) {
        int d = digit_value(*p);
        if (d >= base) return false;
        if (v > (limit - (uint64_t)d) / (uint64_t)base) return false;
        v = v * (uint64_t)base + (uint64_t)d;
    }
    int64_t value;
    if (negative)
        value = v == limit ? INT64_MIN : -(int64_t)v;
    else if (v > (uint64_t)INT64_MAX)
        return false;
    else
        value = (int64_t)v;
    if (value < min || value > max) return false;
    *out = value;
    return true;
}

bool cmdline_option_has_number(const char *option) { return option_number(option) != nullptr; }

bool cmdline_option_number(const char *option, const char *arg, int64_t *out)
{
    const option_number_st *n = option_number(option);
    if (n && cmdline_read_number(arg, n->min, n->max, out)) return true;
    job_error("ERROR: invalid %s '%s' for --%s: give one whole number from %lld to %lld (0x%llx).\n",
              n ? n->what : "number", arg ? arg : "", option ? option : "?", n ? (long long)n->min : 0LL,
              n ? (long long)n->max : 0LL, n ? (unsigned long long)n->max : 0ULL);
    return false;
}

bool cmdline_read_value(const char *text, bool text_only, int64_t *value, bool *is_text)
{
    *is_text = false;
    if (text_only) {
        *is_text = true;
        return true;
    }
    if (cmdline_read_number(text, INT32_MIN, UINT32_MAX, value)) return true;
    // Text only for a word of printable ASCII with a letter that does not start as a number: "1O0",
    // "25 x", a full-width digit or an invisible character pasted before "0x10" would otherwise
    // reach a numeric object as text.
    const char *p, *end;
    drop_blanks(text, &p, &end);
    for (const char *c = p; c < end; c++)
        if (!printable_ascii(*c)) return false;
    if (p < end && (*p == '-' || *p == '+')) p++;
    if (p < end && *p >= '0' && *p <= '9') return false;
    for (; p < end; p++)
        if ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z')) {
            *is_text = true;
            return true;
        }
    return false;
}

void cmdline_refuse_value(const char *option, const char *text)
{
    if (!text) text = "";
    const char *p, *end;
    drop_blanks(text, &p, &end);
    // The value as given, each character that is not printable ASCII shown by its name.
    std::string shown;
    std::string odd;
    size_t position = 0, odd_position = 0;
    for (const char *c = text; *c;) {
        size_t len = 1;
        uint32_t cp = printable_ascii(*c) ? (uint32_t)(unsigned char)*c : utf8_at(c, c + std::strlen(c), &len);
        position++;
        if (printable_ascii(*c)) {
            shown += *c;
        } else {
            shown += "<" + char_name(cp) + ">";
            if (odd.empty() && c >= p && c < end) {
                odd = char_name(cp) + " (" + char_kind(cp) + ")";
                odd_position = position;
            }
        }
        c += len;
    }
    if (!odd.empty())
        job_error("ERROR: invalid value '%s' for --%s: character %zu is %s, which belongs to no number; "
                  "nothing was run. Give a whole number from -2147483648 to 4294967295 (0xffffffff), or write "
                  "text with --sdowritestr.\n",
                  shown.c_str(), option, odd_position, odd.c_str());
    else
        job_error("ERROR: invalid value '%s' for --%s: give one whole number from -2147483648 to 4294967295 "
                  "(0xffffffff), or write text with --sdowritestr.\n",
                  shown.c_str(), option);
}

// ---- Help ----

bool str_equals_nocase(const char *a, const char *b)
{
    for (;; a++, b++) {
        unsigned char ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca >= 'A' && ca <= 'Z') ca = (unsigned char)(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = (unsigned char)(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (ca == '\0') return true;
    }
}

const commands_st *find_command(const char *word)
{
    if (!word) return nullptr;
    while (*word == '-') word++;
    if (*word == '\0') return nullptr;
    for (const commands_st &row : commands) {
        if (str_equals_nocase(row.cmd_long, word)) return &row;
        if (word[1] == '\0' && row.cmd_short != 0 && row.cmd_short == word[0]) return &row;
    }
    return nullptr;
}

void print_description(const char *text)
{
    const char *on = bold_on();
    const char *off = bold_off();
    bool bold = false;
    for (const char *p = text; *p;) {
        if (*p == '*') {
            while (*p == '*') p++;
            bold = !bold;
            std::fputs(bold ? on : off, stdout);
            continue;
        }
        const char *run = p;
        while (*p && *p != '*') p++;
        std::fwrite(run, 1, (size_t)(p - run), stdout);
    }
    if (bold) std::fputs(off, stdout);
}

void print_command(const commands_st *row)
{
    if (row->cmd_short < 'a')
        std::printf("%s--%s%s: ", bold_on(), row->cmd_long, bold_off());
    else
        std::printf("%s--%s -%c%s: ", bold_on(), row->cmd_long, row->cmd_short, bold_off());
    print_description(row->str);
    std::printf("\n\n");
}

bool cmd_help(const char *arg)
{
    // Without an argument the next word names the command; it is looked at, not consumed.
    const char *word = arg ? arg : optind < dev.argc ? dev.argv[optind] : nullptr;
    const commands_st *row = find_command(word);
    if (row) {
        print_command(row);
    } else if (!word) {
        std::printf("*****************************\nKorvane CAN command line tool\n*****************************\n\n\n"
                    "Commands:\n");
        for (const commands_st &r : commands) print_command(&r);
    } else {
        job_error("ERROR: unknown command '%s'. Run --help without an argument to list every command.\n", word);
    }
    std::fflush(stdout);
    return true;
}

// ---- Version, server files, update ----

bool cmd_version(const char *)
{
    std::printf("krcan %s (build %u)\n", selfupdate_this_name(), selfupdate_this_version());
    std::fflush(stdout);
    return true;
}

bool cmd_serverfiles(const char *)
{
    job_error_plain("Listing the server files is not wired up on the Linux build.\n"); // nothing was listed
    return true;
}

static void check_for_update(void)
{
    selfupdate_info_st info = {};
    bool newer = false;
    char err[256] = "";
    if (!selfupdate_check(&info, &newer, err, sizeof err)) {
        job_error_plain("%s\n", err);
    } else if (newer) {
        std::printf("krcan %s (build %u) is available; this is %s (build %u).\n", info.name, info.version,
                    selfupdate_this_name(), selfupdate_this_version());
        if (info.released[0]) std::printf("  released %s\n", info.released);
        if (info.notes[0]) std::printf("  %s\n", info.notes);
        std::printf("Install it with 'krcan --update'.\n");
    } else {
        std::printf("krcan %s (build %u) is the newest published version.\n", selfupdate_this_name(),
                    selfupdate_this_version());
    }
    std::fflush(stdout);
}

// The request goes out once the whole command line is accepted.
bool cmd_checkupdate(const char *)
{
    cmdline_when_accepted(check_for_update);
    return true;
}

static void update_task(void *)
{
    selfupdate_info_st info = {};
    bool newer = false;
    char err[256] = "";
    if (!selfupdate_check(&info, &newer, err, sizeof err)) {
        job_error_plain("%s\n", err);
    } else if (!newer) {
        std::printf("krcan %s (build %u) is already the newest published version.\n", selfupdate_this_name(),
                    selfupdate_this_version());
    } else if (selfupdate_apply(&info, err, sizeof err)) {
        std::printf("Updated to krcan %s (build %u). Restart krcan to use it.\n", info.name, info.version);
    } else {
        job_error_plain("%s\n", err);
    }
    std::fflush(stdout);
}

bool cmd_update(const char *) { return add_task(update_task); }

// ---- Window ----

static void ui_task(void *)
{
    system_clear_forced_nodeid(&dev.system);
    // Without a chosen CAN device there is nothing for the main window to run on. The configuration
    // window fails only when it cannot open, and says so.
    if (!can_given && !kr_ui_confwindow_exec(nullptr)) {
        job_failed();
        return;
    }
    // The main window ends the process itself; coming back means it could not run, said as an error.
    krui_exec();
}

bool cmd_ui(const char *)
{
    ui_given = true;
    const int32_t index = (int32_t)dev.tasks.len;
    silent = false;
    kr_can_use_gui_password(true);
    if (!add_task(ui_task)) return false;
    ui_task_index = index; // from here on add_task refuses
    return true;
}

// ---- Simulators ----

static void sim_keeper_task(void *)
{
    const char *chn = kr_can_get_dev();
    if (!simrun_can_is_virtual(chn))
        PRINT("WARNING: running simulators on the real CAN device '%s'. At least one real device must be present on "
              "the CAN network to acknowledge the bus messages, otherwise the simulators cannot communicate and "
              "their parameters will not load. Use a virtual device (e.g. vcan0) to simulate a standalone system.\n",
              chn);
    uint32_t count = simrun_start_system(&dev.system, chn);
    if (count > 0) {
        sim_started = true;
        PRINT("Started %u simulator(s) on '%s'.\n", count, dev.can_channel);
        simrun_load_params_async(&dev.system, nullptr, 0);
        while (!simrun_load_params_is_finished()) {
            simrun_step();
            kr_rtos_task_delay(200);
        }
        if (sim_commands_follow) simrun_wait_online();
    } else {
        job_error_plain_stderr("No simulators were started. Load a system with --sys (or add devices with --dev) "
                               "first, and make sure each device package bundles a Linux simulator.\n");
    }
    sim_ready = true;
    while (simrun_any_running()) {
        simrun_step();
        kr_rtos_task_delay(200);
    }
    if (sim_started) PRINT("All simulators have stopped.\n");
    sim_keeper_done = true;
    kr_rtos_task_delete(nullptr);
}

static void sim_task(void *)
{
    sim_commands_follow = (int32_t)dev.tasks.len > sim_task_index + 1;
    if (kr_rtos_task_create(sim_keeper_task, "simkeeper", 51200, nullptr, 2, nullptr) != KR_RTOS_PASS) {
        job_error("ERROR: the simulator keeper task could not be created.\n");
        sim_keeper_done = true;
        return;
    }
    while (!sim_ready) kr_rtos_task_delay(100);
}

bool cmd_sim(const char *)
{
    silent = false;
    sim_task_index = (int32_t)dev.tasks.len;
    return add_task(sim_task);
}

void sim_monitor(void)
{
    if (!sim_started) return;
    if (ui_given && ui_task_index > sim_task_index) return; // the window owns the run
    PRINT("The simulators are running. Press Ctrl-C to stop them.\n");
    std::fflush(stdout);
    while (!sim_keeper_done) kr_rtos_task_delay(200);
}

// ---- CAN channel and baud rate ----

static bool baud_given = false;

// A daemon's bus runs at the rate its own interface was set to: nothing here can change it. Said
// whichever of --baud and --can comes last.
static void warn_baud_unreached(void)
{
    if (baud_given &&
        std::strncmp(dev.can_channel, KR_CAN_SOCKETCAND_PREFIX, std::strlen(KR_CAN_SOCKETCAND_PREFIX)) == 0)
        job_warning("WARNING: --baud does not reach '%s': a socketcand bus keeps the bit rate its daemon's "
                    "interface was set to.\n",
                    dev.can_channel);
}

bool cmd_can(const char *arg)
{
    if (!arg || arg[0] == '\0') {
        job_error("ERROR: give the CAN interface name, e.g. --can can0.\n");
        return false;
    }
    if (std::strlen(arg) >= sizeof dev.can_channel) {
        job_error("ERROR: the CAN interface name '%s' is too long; at most %u characters.\n", arg,
                  (unsigned)(sizeof dev.can_channel - 1));
        return false;
    }
    can_given = true;
    PRINT("selecting '%s' as CAN dev\n", arg);
    kr_copy_text(dev.can_channel, sizeof dev.can_channel, arg);
    PRINT("Setting CAN dev name and baudrate: %u\n", dev.baudrate);
    kr_can_set_baudrate(dev.can_channel, dev.baudrate);
    warn_baud_unreached();
    // An adapter opened by an earlier command switches to the new interface.
    if (kr_can_is_connected()) kr_can_set_up(true);
    return true;
}

bool cmd_baud(const char *arg)
{
    int64_t baud = 0;
    if (!arg) {
        PRINT("Bad baudrate\n");
        return false;
    }
    if (!cmdline_option_number("baud", arg, &baud)) return false;
    if (!kr_can_baud_supported((uint32_t)baud)) {
        job_error("ERROR: the baud rate %s is not supported; give 100000, 125000, 250000, 500000 or "
                  "1000000.\n",
                  arg);
        return false;
    }
    PRINT("Setting CAN baudrate: %u\n", (unsigned)baud);
    dev.baudrate = (uint32_t)baud;
    kr_can_set_baudrate(dev.can_channel, dev.baudrate);
    baud_given = true;
    warn_baud_unreached();
    kr_can_set_up(true); // a failure is reported by the port and does not stop the run
    return true;
}

// ---- Output folders ----

static bool set_dest(char *dest, size_t size, const char *arg, const char *what)
{
    if (!arg || std::strlen(arg) >= size) {
        job_error("ERROR: the %s path '%s' is too long; at most %u characters.\n", what, arg ? arg : "",
                  (unsigned)(size - 1));
        return false;
    }
    kr_copy_text(dest, size, arg);
    return true;
}

bool cmd_srcdest(const char *arg)
{
    if (!set_dest(dev.srcdest, sizeof dev.srcdest, arg, "source destination")) return false;
    PRINT("Source destination file path set to '%s'\n", dev.srcdest);
    return true;
}

bool cmd_incdest(const char *arg)
{
    if (!set_dest(dev.incdest, sizeof dev.incdest, arg, "include destination")) return false;
    PRINT("Include destination file path set to '%s'\n", dev.incdest);
    return true;
}

// ---- Node ids ----

void commands_select_nodeid(uint8_t nodeid, bool force)
{
    db_set_nodeid_force(&dev.db, nodeid);
    dev.system.forced_nodeid_set = true;
    dev.system.forced_nodeid = nodeid;
    dev.system.forcenodeid = force;
}

void select_cmdline_device(uint8_t nodeid)
{
    device_st *d = system_set_cmdline_dev_nodeid(&dev.system, nodeid);
    if (d) PRINT("Node ID 0x%x assigned to device '%s'\n", nodeid, d->name);
}

static bool parse_nodeid(const char *option, const char *arg, uint8_t *id)
{
    int64_t v = 0;
    if (!arg) {
        PRINT("Give Node ID.\n");
        return false;
    }
    if (!cmdline_option_number(option, arg, &v)) return false;
    *id = (uint8_t)v;
    return true;
}

bool cmd_node(const char *arg)
{
    uint8_t id = 0;
    if (!parse_nodeid("nodeid", arg, &id)) return false;
    PRINT("Selected Node ID 0x%x\n", id);
    commands_select_nodeid(id, false);
    select_cmdline_device(id);
    return true;
}

bool cmd_forcenode(const char *arg)
{
    uint8_t id = 0;
    if (!parse_nodeid("forcenodeid", arg, &id)) return false;
    PRINT("Selected Node ID 0x%x. The node id from the parameter file will be assigned to this device.\n", id);
    commands_select_nodeid(id, true);
    select_cmdline_device(id);
    return true;
}

bool cmd_silent(const char *)
{
    silent = false; // turns the progress messages on
    return true;
}

// ---- Version notes ----

const versionnote_st version_notes[] = {
    {"2026-11-02", "System files record the date they were saved on; loading one logs its date and devices, and the "
                   "System tab shows them"},
    {"2026-11-02", "Save parameters: parameter files record the date they were saved on"},
    {"", ""},
};

uint32_t versionnotes_count(void) { return (uint32_t)(sizeof version_notes / sizeof version_notes[0]) - 1; }

const versionnote_st *versionnotes_get(uint32_t i) { return i < versionnotes_count() ? &version_notes[i] : nullptr; }

uint32_t versionnotes_omitted(void) { return 0; }

uint32_t versionnotes_since_build(void) { return 336; }

const char *versionnotes_since_name(void) { return "336-g7772"; }
