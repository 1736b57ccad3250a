# libFuzzer targets: tests/fuzz/fuzz_NAME.cpp becomes the program fuzz_NAME, linked with the whole
# library, which this tree builds with clang, coverage and the sanitizers (-DKR_FUZZ=ON). .ci/fuzz runs them.
file(GLOB KR_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
foreach(f ${KR_FUZZ_SOURCES})
  get_filename_component(n ${f} NAME_WE)
  add_executable(${n} ${f})
  target_include_directories(${n} PRIVATE ${CMAKE_SOURCE_DIR}/tests/fuzz ${CMAKE_SOURCE_DIR}/hal/kr_hal/src_linux)
  target_link_libraries(${n} PRIVATE krcan_core kr_hal)
  target_link_options(${n} PRIVATE -fsanitize=fuzzer)
endforeach()
