# Packages are zip archives, read and written in process through libarchive.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
if(TARGET krcan_cli)
  target_link_libraries(krcan_cli PUBLIC PkgConfig::LIBARCHIVE)
endif()
