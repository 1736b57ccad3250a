# Reading long documents without a bus (run it in the release tree): the time per entry of a joystick
# configuration and of a parameter file at 1k, 10k and 100k entries, which stays flat when arrays are
# walked in one pass.
add_executable(bench_docwalk ${CMAKE_SOURCE_DIR}/bench/bench_docwalk.cpp)
target_link_libraries(bench_docwalk PRIVATE krcan_core)
