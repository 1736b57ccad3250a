# Packages are zip archives, read and written in process through libarchive, which the tool loads
# when it first opens or writes one (src/system/archive.cpp): krcan links only its headers. The tests
# build packages with it directly.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
if(TARGET krcan_cli)
  target_include_directories(krcan_cli PRIVATE ${LIBARCHIVE_INCLUDE_DIRS})
  target_link_libraries(krcan_cli PUBLIC ${CMAKE_DL_LIBS})
endif()
if(TARGET krcan_core)
  target_link_libraries(krcan_core PUBLIC PkgConfig::LIBARCHIVE)
endif()
