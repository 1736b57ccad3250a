# The library built a second time with its SDO server on, for tests only (the tool keeps it off),
# and the node program that runs it. The two library builds differ in the stack's state, so no
# program links both. Tests named test_sdo_server* need the node program built first.
add_library(kr_hal_sdo_server STATIC ${KR_HAL_SOURCES})
target_include_directories(kr_hal_sdo_server PUBLIC
  ${CMAKE_SOURCE_DIR}/hal/kr_hal/inc
  ${CMAKE_SOURCE_DIR}/inc
  ${CMAKE_BINARY_DIR}/generated)
target_include_directories(kr_hal_sdo_server PRIVATE ${KR_HAL_PRIVATE_INC})
add_dependencies(kr_hal_sdo_server kr_version)
target_link_libraries(kr_hal_sdo_server PUBLIC Threads::Threads)
target_compile_definitions(kr_hal_sdo_server PUBLIC CONFIG_CANOPEN_SDO_SERVER=1)
# The same link dependencies as the tool's build (cmake/deps_*.cmake add them to kr_hal).
get_target_property(kr_hal_libs kr_hal LINK_LIBRARIES)
if(kr_hal_libs)
  target_link_libraries(kr_hal_sdo_server PUBLIC ${kr_hal_libs})
endif()

add_executable(kr_sdonode ${CMAKE_SOURCE_DIR}/tests/node/kr_sdonode.cpp)
target_link_libraries(kr_sdonode PRIVATE kr_hal_sdo_server)
target_include_directories(kr_sdonode PRIVATE ${KR_HAL_PRIVATE_INC})

foreach(t ${KR_TEST_SOURCES})
  get_filename_component(n ${t} NAME_WE)
  if(n MATCHES "^test_sdo_server" AND TARGET ${n})
    add_dependencies(${n} kr_sdonode)
  endif()
endforeach()
