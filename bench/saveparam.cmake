# krcan saves a 500-parameter device through the hub paced at 250 kbit/s; the time per object is set
# against the bus time of one expedited read (run it in the release tree).
if(TARGET kr_sim)
  add_executable(bench_saveparam ${CMAKE_SOURCE_DIR}/bench/bench_saveparam.cpp)
  target_link_libraries(bench_saveparam PRIVATE kr_sim)
  target_compile_definitions(bench_saveparam PRIVATE KRCAN_BIN="$<TARGET_FILE:krcan>")
  add_dependencies(bench_saveparam krcan)
endif()
