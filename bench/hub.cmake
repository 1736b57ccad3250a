# Throughput of the virtual bus hub, unpaced and paced (run it in the release tree).
if(TARGET kr_sim)
  add_executable(bench_hub ${CMAKE_SOURCE_DIR}/bench/bench_hub.cpp)
  target_link_libraries(bench_hub PRIVATE kr_sim)
endif()
