# 60,000 bytes by block download from the library's client into the library's server (kr_sdonode),
# and back by block upload to the independent client, on the hub paced at 250 kbit/s and 1 Mbit/s
# (run it in the release tree).
if(TARGET kr_sim AND TARGET kr_sdonode)
  add_executable(bench_sdo_server ${CMAKE_SOURCE_DIR}/bench/bench_sdo_server.cpp)
  target_link_libraries(bench_sdo_server PRIVATE kr_hal kr_sim)
  add_dependencies(bench_sdo_server kr_sdonode)
endif()
