# The library task alone: CPU cost of the process and the period of its steps. The CANopen step
# is wrapped at link time so the benchmark sees every step without touching the library.
add_executable(bench_rtos ${CMAKE_SOURCE_DIR}/bench/bench_rtos.cpp)
target_link_libraries(bench_rtos PRIVATE kr_hal)
target_link_options(bench_rtos PRIVATE -Wl,--wrap=_kr_canopen_step)
