# The Settings tab's in-process test lists interfaces of its own (the kernel here has no CAN) and
# counts the port refreshes, through the linker's --wrap.
function(kr_settingstab_test_wrap)
  if(TARGET test_ui_settingstab)
    foreach(f kr_can_get_device_count kr_can_get_device_name kr_can_device_is_can kr_can_device_is_virtual
              kr_can_set_baudrate)
      target_link_options(test_ui_settingstab PRIVATE "LINKER:--wrap=${f}")
    endforeach()
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL kr_settingstab_test_wrap)
