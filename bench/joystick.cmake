# The joystick driver with a recording back end on the virtual bus (run it in the release tree): the
# task's period, the latency from a TXPDO on the bus to the back-end call, and the CPU of an idle driver.
if(TARGET kr_sim)
  add_executable(bench_joystick ${CMAKE_SOURCE_DIR}/bench/bench_joystick.cpp)
  target_link_libraries(bench_joystick PRIVATE krcan_core kr_sim)
  target_include_directories(bench_joystick PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_options(bench_joystick PRIVATE -Wl,--wrap=kr_rtos_task_delay_until)
endif()
