# libFuzzer targets: tests/fuzz/fuzz_NAME.cpp becomes the program fuzz_NAME, linked with the whole
# library, which this tree builds with clang, coverage and the sanitizers (-DKR_FUZZ=ON). Sources
# outside the library that a target names on its "// fuzz-sources:" line (test code) are compiled in.
# .ci/fuzz runs them.
file(GLOB KR_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
foreach(f ${KR_FUZZ_SOURCES})
  get_filename_component(n ${f} NAME_WE)
  add_executable(${n} ${f})
  file(STRINGS ${f} listed REGEX "^// fuzz-sources:")
  if(listed)
    string(REGEX REPLACE "^// fuzz-sources:[ ]*" "" listed "${listed}")
    separate_arguments(listed UNIX_COMMAND "${listed}")
    foreach(s ${listed})
      set(p ${CMAKE_SOURCE_DIR}/${s})
      if(NOT p IN_LIST KR_HAL_SOURCES AND NOT p IN_LIST KRCAN_SOURCES)
        target_sources(${n} PRIVATE ${p})
      endif()
    endforeach()
  endif()
  target_include_directories(${n} PRIVATE ${CMAKE_SOURCE_DIR}/tests/fuzz ${CMAKE_SOURCE_DIR}/tests/sim
    ${CMAKE_SOURCE_DIR}/hal/kr_hal/src_linux/can)
  target_link_libraries(${n} PRIVATE krcan_core kr_hal)
  if(n MATCHES "^fuzz_ui")
    target_link_libraries(${n} PRIVATE kr_ui)
  endif()
  target_link_options(${n} PRIVATE -fsanitize=fuzzer)
endforeach()
