# JSON reader against nlohmann::json on generated device-database-shaped documents.
find_package(nlohmann_json 3 QUIET)
if(nlohmann_json_FOUND)
  add_executable(bench_json ${CMAKE_SOURCE_DIR}/bench/bench_json.cpp)
  target_link_libraries(bench_json PRIVATE kr_hal nlohmann_json::nlohmann_json)
else()
  message(STATUS "bench_json skipped: nlohmann-json3-dev is not installed")
endif()
