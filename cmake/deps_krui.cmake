# The desktop window lives in the tool's window part and draws through the toolkit; its two pictures
# are embedded at build time like the fonts.
target_link_libraries(krcan_win PUBLIC kr_ui)
set(KRUI_MEDIA_DIR ${CMAKE_SOURCE_DIR}/src/ui/media)
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/ui/krui_media.cpp PROPERTIES
  COMPILE_DEFINITIONS "KRUI_BG_PNG_FILE=\"${KRUI_MEDIA_DIR}/korvane_bg.png\";KRUI_MINUS_PNG_FILE=\"${KRUI_MEDIA_DIR}/minus_hd.png\""
  OBJECT_DEPENDS "${KRUI_MEDIA_DIR}/korvane_bg.png;${KRUI_MEDIA_DIR}/minus_hd.png")

# The window's test answers for the tabs whether a job runs.
function(krui_test_wrap)
  if(TARGET test_krui)
    foreach(f devicetab_is_busy settingstab_is_busy)
      target_link_options(test_krui PRIVATE "LINKER:--wrap=${f}")
    endforeach()
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL krui_test_wrap)
