# Firmware loads of 1 MiB by the krcan binary to a simulated device with a program store, through the
# hub paced at 250 kbit/s and 1 Mbit/s (run it in the release tree).
if(TARGET kr_sim)
  add_executable(bench_load ${CMAKE_SOURCE_DIR}/bench/bench_load.cpp)
  target_link_libraries(bench_load PRIVATE kr_sim)
  target_include_directories(bench_load PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(bench_load PRIVATE KRCAN_BIN="$<TARGET_FILE:krcan>")
  add_dependencies(bench_load krcan)
endif()
