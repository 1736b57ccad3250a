# `krcan --checkupdate` against the stand-in curl that answers at once, beside a bare spawn of the stand-in
# (release tree; the stand-in is built with the tests).
if(TARGET kr_curl_standin)
  add_executable(bench_update ${CMAKE_SOURCE_DIR}/bench/bench_update.cpp)
  target_compile_definitions(bench_update PRIVATE KRCAN_BIN="$<TARGET_FILE:krcan>"
    CURL_STANDIN="$<TARGET_FILE:kr_curl_standin>")
  add_dependencies(bench_update krcan kr_curl_standin)
endif()
