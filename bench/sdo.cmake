# 1 MiB by SDO block download to the simulated device through the hub paced at 250 kbit/s and
# 1 Mbit/s, and at 250 kbit/s with one segment lost per 100 blocks (run it in the release tree).
if(TARGET kr_sim)
  add_executable(bench_sdo_block ${CMAKE_SOURCE_DIR}/bench/bench_sdo_block.cpp)
  target_link_libraries(bench_sdo_block PRIVATE kr_hal kr_sim)
endif()
