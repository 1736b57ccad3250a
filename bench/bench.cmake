# Benchmarks, meaningful in the release tree: bench/bench_NAME.cpp becomes the program bench_NAME.
#   kr_bench(NAME [KRCAN] [LIBS lib...] [NEEDS target...] [DEPENDS target...] [INCLUDE dir...]
#            [WRAP symbol...] [DEFS definition...])
# KRCAN passes the binary's path as KRCAN_BIN and builds it first; a missing NEEDS target (the virtual
# bus and the stand-ins are built with the tests) leaves the benchmark out; WRAP wraps a symbol at link
# time so the benchmark sees every call.
function(kr_bench name)
  cmake_parse_arguments(B "KRCAN" "" "LIBS;NEEDS;DEPENDS;INCLUDE;WRAP;DEFS" ${ARGN})
  foreach(t ${B_NEEDS})
    if(NOT TARGET ${t})
      return()
    endif()
  endforeach()
  set(t bench_${name})
  add_executable(${t} ${CMAKE_SOURCE_DIR}/bench/bench_${name}.cpp)
  target_link_libraries(${t} PRIVATE ${B_LIBS})
  target_include_directories(${t} PRIVATE ${B_INCLUDE})
  target_compile_definitions(${t} PRIVATE ${B_DEFS})
  foreach(s ${B_WRAP})
    target_link_options(${t} PRIVATE -Wl,--wrap=${s})
  endforeach()
  if(B_KRCAN)
    target_compile_definitions(${t} PRIVATE KRCAN_BIN="$<TARGET_FILE:krcan>")
    add_dependencies(${t} krcan)
  endif()
  if(B_DEPENDS)
    add_dependencies(${t} ${B_DEPENDS})
  endif()
endfunction()

set(KR_TESTS_DIR ${CMAKE_SOURCE_DIR}/tests)

# Device database load time for generated databases of 50 and 500 objects.
kr_bench(db LIBS krcan_core kr_hal)
# Long documents without a bus: the time per entry of a joystick configuration and of a parameter file
# at 1k, 10k and 100k entries, flat when arrays are walked in one pass.
kr_bench(docwalk LIBS krcan_core)
# Throughput of the virtual bus hub, unpaced and paced.
kr_bench(hub NEEDS kr_sim LIBS kr_sim)
# The joystick driver with a recording back end on the virtual bus: the task's period, the latency
# from a TXPDO to the back-end call, and the CPU of an idle driver.
kr_bench(joystick NEEDS kr_sim LIBS krcan_core kr_sim INCLUDE ${KR_TESTS_DIR} WRAP kr_rtos_task_delay_until)
# The main window: idle CPU, frame times with 20 devices and while a job prints 1000 lines a second
# (under Xvfb, see bench/bench_krui.cpp).
kr_bench(krui KRCAN NEEDS kr_sim kr_curl_standin LIBS krcan_core kr_sim INCLUDE ${KR_TESTS_DIR} ${KR_TESTS_DIR}/sim
  DEFS KR_BIN_DIR="${CMAKE_BINARY_DIR}" DEPENDS kr_curl_standin)
# Firmware loads of 1 MiB by krcan to a simulated device with a program store, through the hub paced
# at 250 kbit/s and 1 Mbit/s.
kr_bench(load KRCAN NEEDS kr_sim LIBS kr_sim INCLUDE ${KR_TESTS_DIR})
# A 500-entry parameter file loaded by krcan through the hub paced at 250 kbit/s, against the floor of
# the 10 ms pause plus the bus time.
kr_bench(loadparam KRCAN NEEDS kr_sim LIBS kr_sim INCLUDE ${KR_TESTS_DIR})
# A 128 KiB media file (block size 255, commit at once) beside a plain segmented download of the same
# bytes, through the hub paced at 250 kbit/s and 1 Mbit/s.
kr_bench(media NEEDS kr_sim LIBS krcan_core kr_hal kr_sim INCLUDE ${KR_TESTS_DIR})
# The display mirror: the decoder alone on a recorded mix of commands, and whole frames decoded and
# drawn under Xvfb (see bench/bench_mirror.cpp).
kr_bench(mirror LIBS krcan_core INCLUDE ${KR_TESTS_DIR})
# Opening and closing a 256 MiB device package beside a plain copy of it, and `krcan --sys` of 20
# devices.
kr_bench(package KRCAN LIBS krcan_core kr_hal INCLUDE ${KR_TESTS_DIR})
# Remote-link stream decoder throughput on one core.
kr_bench(remote LIBS kr_hal)
# The library task alone: CPU cost of the process and the period of its steps.
kr_bench(rtos LIBS kr_hal WRAP _kr_canopen_step)
# krcan saves a 500-parameter device through the hub paced at 250 kbit/s; the time per object against
# the bus time of one expedited read.
kr_bench(saveparam KRCAN NEEDS kr_sim LIBS kr_sim INCLUDE ${KR_TESTS_DIR})
# 1 MiB by SDO block download to the simulated device through the hub paced at 250 kbit/s and 1 Mbit/s,
# and at 250 kbit/s with one segment lost per 100 blocks.
kr_bench(sdo_block NEEDS kr_sim LIBS kr_hal kr_sim INCLUDE ${KR_TESTS_DIR})
# 60,000 bytes by block download from the library's client into the library's server (kr_sdonode), and
# back by block upload to the independent client, on the hub paced at 250 kbit/s and 1 Mbit/s.
kr_bench(sdo_server NEEDS kr_sim kr_sdonode LIBS kr_hal kr_sim INCLUDE ${KR_TESTS_DIR} DEPENDS kr_sdonode)
# The display: atlases, long masked text, a busy screen's full redraw, idle cost, and the library
# task's gaps while the display redraws every step (under Xvfb, see bench/bench_ui.cpp).
kr_bench(ui LIBS kr_ui INCLUDE ${KR_TESTS_DIR}/ui WRAP _kr_canopen_step)
# `krcan --checkupdate` against the stand-in curl that answers at once, beside a bare spawn of it.
kr_bench(update KRCAN NEEDS kr_curl_standin INCLUDE ${KR_TESTS_DIR} DEFS CURL_STANDIN="$<TARGET_FILE:kr_curl_standin>"
  DEPENDS kr_curl_standin)
# Start-up of a command-line run: `krcan --version` and `krcan --help sdoread` against a hello-world
# linked with libsocketcan alone, and the libraries krcan maps.
kr_bench(version_hello LIBS PkgConfig::LIBSOCKETCAN)
kr_bench(version KRCAN INCLUDE ${CMAKE_SOURCE_DIR}/bench ${KR_TESTS_DIR} DEFS HELLO_BIN="$<TARGET_FILE:bench_version_hello>"
  DEPENDS bench_version_hello)
# Widgets: the CAN configuration window left alone, a busy widget screen's full redraw and the
# on-screen keyboard's frames (under Xvfb, see bench/bench_widgets.cpp).
kr_bench(widgets LIBS kr_ui WRAP kr_uidisplay_step)

# Readers against the common libraries, where those are installed.
find_package(nlohmann_json 3 QUIET)
if(nlohmann_json_FOUND)
  # JSON reader against nlohmann::json on generated device-database-shaped documents.
  kr_bench(json LIBS kr_hal nlohmann_json::nlohmann_json)
else()
  message(STATUS "bench_json skipped: nlohmann-json3-dev is not installed")
endif()
find_package(yaml-cpp QUIET)
if(yaml-cpp_FOUND)
  # YAML reader against yaml-cpp on generated device-database-shaped documents.
  if(TARGET yaml-cpp::yaml-cpp)
    kr_bench(yaml LIBS kr_hal yaml-cpp::yaml-cpp)
  else()
    kr_bench(yaml LIBS kr_hal yaml-cpp)
  endif()
else()
  message(STATUS "bench_yaml skipped: libyaml-cpp-dev is not installed")
endif()
