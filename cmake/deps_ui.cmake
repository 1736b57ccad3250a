# The widget toolkit and its GLFW/OpenGL back end: a library of its own, so that what draws nothing
# links no GL. Fonts are Debian's Liberation Regular faces, embedded at build time.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KR_UI_DEPS REQUIRED IMPORTED_TARGET glfw3 glew freetype2 gl)
find_library(KR_LODEPNG lodepng REQUIRED)
set(KR_FONT_DIR /usr/share/fonts/truetype/liberation2)
foreach(f LiberationSans-Regular.ttf LiberationMono-Regular.ttf)
  if(NOT EXISTS ${KR_FONT_DIR}/${f})
    message(FATAL_ERROR "${KR_FONT_DIR}/${f} is missing: install fonts-liberation2")
  endif()
endforeach()

file(GLOB KR_UI_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/hal/kr_hal/src/ui/*.cpp
  ${CMAKE_SOURCE_DIR}/hal/kr_hal/src_linux/display/*.cpp)
add_library(kr_ui STATIC ${KR_UI_SOURCES})
set_target_properties(kr_ui PROPERTIES POSITION_INDEPENDENT_CODE ON) # also built into the window module
target_include_directories(kr_ui PUBLIC ${CMAKE_SOURCE_DIR}/hal/kr_hal/inc)
target_link_libraries(kr_ui PUBLIC kr_hal PkgConfig::KR_UI_DEPS ${KR_LODEPNG})
set_source_files_properties(${CMAKE_SOURCE_DIR}/hal/kr_hal/src_linux/display/kr_ui_fonts_embed.cpp PROPERTIES
  COMPILE_DEFINITIONS "KR_FONT_SANS_FILE=\"${KR_FONT_DIR}/LiberationSans-Regular.ttf\";KR_FONT_MONO_FILE=\"${KR_FONT_DIR}/LiberationMono-Regular.ttf\""
  OBJECT_DEPENDS "${KR_FONT_DIR}/LiberationSans-Regular.ttf;${KR_FONT_DIR}/LiberationMono-Regular.ttf")

# Test programs under tests/ui/: the toolkit, the X11 client library (to send window-manager
# messages) and the display test program that xdotool drives.
function(kr_ui_test_target n)
  find_package(X11 REQUIRED)
  target_link_libraries(${n} PRIVATE kr_ui X11::X11)
  target_compile_definitions(${n} PRIVATE KR_UIPROG_BIN="$<TARGET_FILE:uiprog>")
  add_dependencies(${n} uiprog)
  add_test(NAME ${n} COMMAND ${n})
  set_tests_properties(${n} PROPERTIES TIMEOUT 300)
endfunction()
if(KR_TESTS)
  add_executable(uiprog ${CMAKE_SOURCE_DIR}/tests/ui/uiprog_main.cpp)
  target_link_libraries(uiprog PRIVATE kr_ui krcan_core)
  target_include_directories(uiprog PRIVATE ${CMAKE_SOURCE_DIR}/tests)
endif()

# The CAN configuration window's in-process test answers the CAN port's calls itself.
function(kr_ui_confwindow_test_wrap)
  if(TARGET test_ui_confwindow)
    foreach(f kr_can_get_device_count kr_can_get_device_name kr_can_device_is_can kr_can_device_is_virtual
              kr_can_get_dev kr_can_set_dev kr_can_get_baudrate kr_can_get_netdev_baudrate kr_can_set_baudrate
              kr_can_create_vcan)
      target_link_options(test_ui_confwindow PRIVATE "LINKER:--wrap=${f}")
    endforeach()
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL kr_ui_confwindow_test_wrap)
