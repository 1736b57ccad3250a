# Widgets: the CAN configuration window left alone, a busy widget screen's full redraw and the
# on-screen keyboard's frames. Run under Xvfb (see bench/bench_widgets.cpp).
add_executable(bench_widgets ${CMAKE_SOURCE_DIR}/bench/bench_widgets.cpp)
target_link_libraries(bench_widgets PRIVATE kr_ui)
target_link_options(bench_widgets PRIVATE -Wl,--wrap=kr_uidisplay_step)
