# The display mirror: the decoder alone on a recorded mix of commands (MB/s, commands/s), and whole
# frames decoded and drawn into the framebuffer under Xvfb (see bench/bench_mirror.cpp).
add_executable(bench_mirror ${CMAKE_SOURCE_DIR}/bench/bench_mirror.cpp)
target_link_libraries(bench_mirror PRIVATE krcan_core)
target_include_directories(bench_mirror PRIVATE ${CMAKE_SOURCE_DIR}/tests)
