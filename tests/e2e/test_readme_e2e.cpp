// The README's examples as a newcomer runs them: the demo bus (tools/demo.sh --keep) is started,
// every line of the README's sh blocks but the make ones, and every krcan command line of its prose,
// is run through bash in a folder holding a copy of examples/ and the packages built from it, with
// -c can0 replaced by the bus. The README is read here, so an example added to it is run as it
// stands. Ctrl-C then stops the bus, and the devices' state dumps show what the examples did to them.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e.h"
#include "sim_device.h"

namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The lines of the README's sh blocks that are examples: all but the empty ones and the make commands.
std::vector<std::string> readme_examples()
{
    std::istringstream in(read_text(KR_SOURCE_DIR "/README.md"));
    std::vector<std::string> lines;
    bool in_block = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("```", 0) == 0) {
            in_block = !in_block && line == "```sh";
            continue;
        }
        if (in_block && !line.empty() && line.rfind("make ", 0) != 0) lines.push_back(line);
    }
    return lines;
}

// The krcan command lines that the README's prose gives in backticks, a span broken over two lines
// joined again; forms with placeholders ("...", "[--port N]") are not examples.
std::vector<std::string> readme_prose_examples()
{
    std::istringstream in(read_text(KR_SOURCE_DIR "/README.md"));
    std::string prose;
    bool in_block = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("```", 0) == 0)
            in_block = !in_block;
        else if (!in_block)
            prose += line + " ";
    }
    std::vector<std::string> lines;
    const std::regex span("`(((build-release/)?krcan) [^`]*)`");
    for (auto it = std::sregex_iterator(prose.begin(), prose.end(), span); it != std::sregex_iterator(); ++it) {
        const std::string cmd = (*it)[1];
        if (cmd.find("...") == std::string::npos && cmd.find('[') == std::string::npos) lines.push_back(cmd);
    }
    return lines;
}

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
    return s;
}

void script(const e2e::sandbox &box, const std::string &rel, const std::string &text)
{
    box.write_file(rel, text);
    chmod(box.path(rel).c_str(), 0755);
}

// "prog N mode M image SIZE crc C flashes F ...": the image size and flash count, -1 when missing.
std::pair<long, long> prog(const std::string &dump, int node)
{
    std::smatch m;
    std::regex re("prog " + std::to_string(node) + " mode app image ([0-9]+) crc 0x[0-9a-fA-F]+ flashes ([0-9]+)");
    if (!std::regex_search(dump, m, re)) return {-1, -1};
    return {std::stol(m[1]), std::stol(m[2])};
}

std::vector<uint8_t> stored(const std::string &dump, uint8_t node, uint16_t index)
{
    std::vector<uint8_t> v;
    sim_dump_value(dump, node, index, 0, v, true);
    return v;
}

TEST(Readme, EveryExampleRunsAgainstTheDemoBus)
{
    e2e::sandbox box;
    fs::copy(KR_SOURCE_DIR "/examples", box.path("examples"), fs::copy_options::recursive);
    e2e::result made = e2e::run_tool("python3",
                                     {box.path("examples/make_packages.py").string(), box.path("examples").string()});
    ASSERT_TRUE(made.exited(0)) << made.out << made.err;

    // krcan as the README calls it; esptool stands in for a module on a serial port, and the joystick
    // examples get the krcan whose controller records what it is given.
    fs::create_directories(box.path("bin"));
    fs::create_directories(box.path("jsbin"));
    fs::create_symlink(KRCAN_BIN, box.path("bin/krcan"));
    fs::create_symlink(KRCAN_JSREC_BIN, box.path("jsbin/krcan"));
    script(box, "bin/esptool", "#!/bin/sh\necho \"$*\" >> \"" + box.path("esptool.log").string() + "\"\nexit 0\n");

    e2e::background demo(box, "/bin/bash",
                         {KR_SOURCE_DIR "/tools/demo.sh", KR_BIN_DIR, "--keep", "--port", "0", "--dump-dir",
                          box.path("dumps").string()});
    ASSERT_TRUE(demo.wait_for_output("Press Ctrl-C to stop the bus and the devices.", 60000))
        << demo.out() << demo.err();
    std::smatch m;
    std::string banner = demo.out();
    ASSERT_TRUE(
        std::regex_search(banner, m, std::regex("with -c (socketcand://127\\.0\\.0\\.1:([0-9]+)/vcan0) in place")))
        << banner;
    const std::string bus = m[1];
    const int port = std::stoi(m[2]);

    std::vector<std::string> examples = readme_examples();
    ASSERT_GE(examples.size(), 25u) << "the README's sh blocks were not found";
    const std::vector<std::string> prose = readme_prose_examples();
    ASSERT_GE(prose.size(), 4u) << "the README's prose examples were not found";
    examples.insert(examples.end(), prose.begin(), prose.end());
    int joystick_runs = 0;
    for (const std::string &line : examples) {
        SCOPED_TRACE(line);
        std::string cmd = replace_all(line, " -c can0", " -c " + bus);
        cmd = replace_all(cmd, "socketcand://127.0.0.1/vcan0", bus);
        if (cmd.rfind("build-release/", 0) == 0) cmd = cmd.substr(std::string("build-release/").size());
        e2e::options o;
        o.timeout_ms = 90000;
        o.path_prepend = {box.path("bin").string()};
        o.env = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
        int status = 0;
        std::string rec;
        if (line.find("--joystick") != std::string::npos) {
            rec = box.path("rec-" + std::to_string(++joystick_runs) + ".txt").string();
            o.path_prepend.insert(o.path_prepend.begin(), box.path("jsbin").string());
            o.env.emplace_back("KRCAN_JSREC", rec);
            o.sigint_on_output = "Press Ctrl-C to stop.";
            status = 2;
        } else if (line.find("--ui") != std::string::npos) {
            status = 1; // as the README says: without a display it says so
        } else if (line.find("--mindex 0x1F50") != std::string::npos) {
            status = 1; // the program object answers with an abort, as the README says
        }
        e2e::result r = box.run("/bin/bash", {"-c", cmd}, o);
        EXPECT_TRUE(r.exited(status)) << cmd << "\nstatus " << r.exit_code << " signal " << r.signal << "\n"
                                      << r.out << r.err;
        if (line.find("--ui") != std::string::npos) {
            EXPECT_NE((r.out + r.err).find("display"), std::string::npos) << r.out << r.err;
        }
        if (!rec.empty()) {
            EXPECT_EQ(read_text(rec).rfind("o krcan demo pad", 0), 0u) << read_text(rec);
        }
        // What a comment says the example prints.
        size_t says = line.find("# prints ");
        if (says != std::string::npos) {
            EXPECT_NE(r.out.find(line.substr(says + 9)), std::string::npos) << r.out;
        }
        if (line.find("--mindex 0x1F50") != std::string::npos) {
            EXPECT_NE((r.out + r.err).find("ATTEMPT TO READ A WRITE ONLY OBJECT"), std::string::npos) << r.out << r.err;
        }
        if (line.find("--find") != std::string::npos) {
            EXPECT_NE(r.out.find("Device search finished: 3 new device(s) found."), std::string::npos) << r.out;
        }
    }
    EXPECT_EQ(joystick_runs, 2);

    // Files the examples wrote.
    EXPECT_NE(read_text(box.path("motor-saved.json")).find("\"DATA\":2400"), std::string::npos);
    const std::string some = read_text(box.path("some.json"));
    EXPECT_NE(some.find("0x2001"), std::string::npos) << some;
    EXPECT_EQ(some.find("0x2002"), std::string::npos) << "the OBJECT words select: " << some;
    EXPECT_NE(read_text(box.path("all.yaml")).find("0x5ff7"), std::string::npos);
    EXPECT_TRUE(fs::exists(box.path("gen/motor_od.c")) && fs::exists(box.path("gen/motor_od.h")));
    EXPECT_NE(read_text(box.path("esptool.log")).find("write-flash -z 0x10000 "), std::string::npos);

    // Ctrl-C stops the bus and every device, which write their dumps on the way out.
    kill(demo.pid(), SIGINT);
    EXPECT_TRUE(demo.wait_end(30000));
    e2e::result end = demo.stop();
    EXPECT_TRUE(end.exited(0)) << end.out << end.err;
    EXPECT_NE(end.out.find("Stopping the demo bus."), std::string::npos) << end.out;
    EXPECT_EQ(end.err.find("connection closed"), std::string::npos) << end.err;
    EXPECT_FALSE(e2e::port_open(port)) << "the demo bus was left running";

    const std::string motor = read_text(box.path("dumps/node-0x10.dump"));
    const std::string display = read_text(box.path("dumps/node-0x20.dump"));
    const std::string pump = read_text(box.path("dumps/node-0x40.dump"));
    const long image = (long)fs::file_size(box.path("examples/firmware.bin"));
    // Flashed: the raw file and the system package (motor, display), the package with the maker's loader (pump).
    EXPECT_EQ(prog(motor, 0x10).first, image) << motor;
    EXPECT_GE(prog(motor, 0x10).second, 3) << motor;
    EXPECT_GE(prog(display, 0x20).second, 2) << display;
    EXPECT_EQ(prog(pump, 0x40).first, image) << pump;
    EXPECT_GE(prog(pump, 0x40).second, 1) << pump;
    // Parameters stored: the motor's file last (the system's), the display's brightness from answer 2;
    // the plant's pump was left out by the node-id list.
    EXPECT_EQ(stored(motor, 0x10, 0x2000), (std::vector<uint8_t>{0x60, 0x09})) << motor;
    EXPECT_EQ(stored(display, 0x20, 0x2000), (std::vector<uint8_t>{100})) << display;
    EXPECT_NE(stored(pump, 0x40, 0x1017), (std::vector<uint8_t>{0xF4, 0x01})) << pump;
    // Media: the folder's under their paths, the package's under theirs, and a clear; no text file.
    for (const char *name : {"examples/media/logo.png", "examples/media/font.bin", "media/splash.png"})
        EXPECT_NE(display.find(std::string(" ") + name + "\n"), std::string::npos) << name << "\n" << display;
    EXPECT_EQ(display.find("README.txt"), std::string::npos) << display;
    EXPECT_NE(display.find("mediaclear 32 1"), std::string::npos) << display;
}

} // namespace
