# Remote-link stream decoder throughput on one core (run it in the release tree).
add_executable(bench_remote ${CMAKE_SOURCE_DIR}/bench/bench_remote.cpp)
target_link_libraries(bench_remote PRIVATE kr_hal)
