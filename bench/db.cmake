# Device database load time for generated databases of 50 and 500 objects.
add_executable(bench_db ${CMAKE_SOURCE_DIR}/bench/bench_db.cpp)
target_link_libraries(bench_db PRIVATE krcan_core kr_hal)
