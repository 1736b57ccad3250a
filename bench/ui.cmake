# The display: atlases, long masked text, a busy screen's full redraw, idle cost, and the library
# task's gaps while the display redraws every step. Run under Xvfb (see bench/bench_ui.cpp).
add_executable(bench_ui ${CMAKE_SOURCE_DIR}/bench/bench_ui.cpp)
target_link_libraries(bench_ui PRIVATE kr_ui)
target_include_directories(bench_ui PRIVATE ${CMAKE_SOURCE_DIR}/tests/ui)
target_link_options(bench_ui PRIVATE -Wl,--wrap=_kr_canopen_step)
