# The main window: idle CPU of krcan's open window, frame times with 20 devices, and frame times
# while a job prints 1000 lines a second. Run under Xvfb (see bench/bench_krui.cpp).
# Needs the virtual bus and the stand-in curl, built with the tests.
if(TARGET kr_sim AND TARGET kr_curl_standin)
  add_executable(bench_krui ${CMAKE_SOURCE_DIR}/bench/bench_krui.cpp)
  target_link_libraries(bench_krui PRIVATE krcan_core kr_sim)
  target_include_directories(bench_krui PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/tests/sim)
  target_compile_definitions(bench_krui PRIVATE KRCAN_BIN="$<TARGET_FILE:krcan>" KR_BIN_DIR="${CMAKE_BINARY_DIR}")
  add_dependencies(bench_krui krcan kr_curl_standin)
endif()
