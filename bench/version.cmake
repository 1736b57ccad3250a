# Start-up of a command-line run: `krcan --version` and `krcan --help sdoread` against a hello-world
# linked with libsocketcan alone, and the libraries krcan maps (release tree).
add_executable(bench_version ${CMAKE_SOURCE_DIR}/bench/bench_version.cpp)
add_executable(bench_version_hello ${CMAKE_SOURCE_DIR}/bench/bench_version_hello.cpp)
target_link_libraries(bench_version_hello PRIVATE PkgConfig::LIBSOCKETCAN)
target_compile_definitions(bench_version PRIVATE KRCAN_BIN="$<TARGET_FILE:krcan>"
  HELLO_BIN="$<TARGET_FILE:bench_version_hello>")
target_include_directories(bench_version PRIVATE ${CMAKE_SOURCE_DIR}/bench)
add_dependencies(bench_version krcan bench_version_hello)
