# The C export must not define a name that the headers of its generated sources already declare.
# Those names are listed at build time from the headers themselves (cmake/library_names.cmake).
set(KR_LIBRARY_NAMES ${CMAKE_BINARY_DIR}/generated/kr_library_names.inc)
file(GLOB KR_LIBRARY_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/hal/kr_hal/inc/*.h
     ${CMAKE_SOURCE_DIR}/hal/kr_hal/inc/*/*.h)
add_custom_command(OUTPUT ${KR_LIBRARY_NAMES}
  COMMAND ${CMAKE_COMMAND} -DCC=${CMAKE_C_COMPILER} -DINC=${CMAKE_SOURCE_DIR}/hal/kr_hal/inc
          -DOUT=${KR_LIBRARY_NAMES} -P ${CMAKE_SOURCE_DIR}/cmake/library_names.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/library_names.cmake ${KR_LIBRARY_HEADERS}
  VERBATIM)
add_custom_target(kr_library_names DEPENDS ${KR_LIBRARY_NAMES})
add_dependencies(krcan_cli kr_library_names)
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/database/export.cpp PROPERTIES OBJECT_DEPENDS ${KR_LIBRARY_NAMES})
