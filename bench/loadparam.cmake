# A 500-entry parameter file loaded by krcan onto a simulated device through the hub paced at
# 250 kbit/s, against the floor of the 10 ms pause plus the bus time (run it in the release tree).
if(TARGET kr_sim)
  add_executable(bench_loadparam ${CMAKE_SOURCE_DIR}/bench/bench_loadparam.cpp)
  target_link_libraries(bench_loadparam PRIVATE kr_sim)
  target_compile_definitions(bench_loadparam PRIVATE KRCAN_BIN="$<TARGET_FILE:krcan>")
  add_dependencies(bench_loadparam krcan)
endif()
