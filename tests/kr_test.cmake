# The test helpers, for every folder's CMakeLists.txt:
#   kr_test(NAME LIBS lib... [KRCAN] [WINDOW] [LABEL label] [TIMEOUT seconds])
# builds NAME.cpp of the calling folder into the test program NAME with GoogleTest. LIBS are what it
# tests (a library test links only its library). KRCAN builds the krcan binary first and passes its
# path as KRCAN_BIN. The bus, the devices and the stand-ins of tests/sim are built first for every
# test, which finds them in KR_BIN_DIR; tests run at the top of the build tree.
# Tests are found one by one (300 s each; label unit unless given, window for a program named
# *_window); a WINDOW test program is one test, as it runs one X server, labelled window.
set(KR_TESTS_DIR ${CMAKE_CURRENT_LIST_DIR})

function(kr_test name)
  cmake_parse_arguments(T "KRCAN;WINDOW" "LABEL;TIMEOUT" "LIBS" ${ARGN})
  add_executable(${name} ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  # Tests may reach into the stack's own state (hal/kr_hal/src/canopen/kr_canopen_private.h).
  target_include_directories(${name} PRIVATE ${KR_TESTS_DIR} ${CMAKE_SOURCE_DIR}/hal/kr_hal/src)
  target_compile_definitions(${name} PRIVATE
    KR_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    KR_TEST_DATA_DIR="${KR_TESTS_DIR}/data"
    KR_BIN_DIR="${CMAKE_BINARY_DIR}")
  if(T_KRCAN)
    target_compile_definitions(${name} PRIVATE KRCAN_BIN="$<TARGET_FILE:krcan>")
    add_dependencies(${name} krcan)
  endif()
  get_property(programs GLOBAL PROPERTY KR_SIM_PROGRAMS)
  add_dependencies(${name} ${programs})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(T_WINDOW)
    add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS window)
    return()
  endif()
  if(NOT T_LABEL AND name MATCHES "_window$")
    set(T_LABEL window)
  elseif(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS ${T_LABEL})
endfunction()

# kr_tests(ARGS...): kr_test(NAME ARGS...) for every test_NAME.cpp of the calling folder that is not
# a target yet (a test added before with arguments of its own).
function(kr_tests)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  foreach(s ${sources})
    get_filename_component(n ${s} NAME_WE)
    if(NOT TARGET ${n})
      kr_test(${n} ${ARGN})
    endif()
  endforeach()
endfunction()
