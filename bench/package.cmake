# Opening and closing a 256 MiB device package beside a plain copy of it, and `krcan --sys` of 20
# devices (release tree).
add_executable(bench_package ${CMAKE_SOURCE_DIR}/bench/bench_package.cpp)
target_link_libraries(bench_package PRIVATE krcan_core kr_hal)
target_include_directories(bench_package PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(bench_package PRIVATE KRCAN_BIN="$<TARGET_FILE:krcan>")
add_dependencies(bench_package krcan)
