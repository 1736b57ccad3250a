# The bus monitor's test moves the tick clock on instead of waiting for it, through the linker's --wrap.
function(kr_monitor_test_wrap)
  if(TARGET test_system_monitor)
    target_link_options(test_system_monitor PRIVATE "LINKER:--wrap=kr_rtos_get_tick_count")
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL kr_monitor_test_wrap)
