# Median wall time of `krcan --version`, a whole start-up and end of the run (release tree).
add_executable(bench_version ${CMAKE_SOURCE_DIR}/bench/bench_version.cpp)
target_compile_definitions(bench_version PRIVATE KRCAN_BIN="$<TARGET_FILE:krcan>")
add_dependencies(bench_version krcan)
