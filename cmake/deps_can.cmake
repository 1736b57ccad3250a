# The CAN port reads and sets SocketCAN bit rates through libsocketcan.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBSOCKETCAN REQUIRED IMPORTED_TARGET libsocketcan)
target_link_libraries(kr_hal PUBLIC PkgConfig::LIBSOCKETCAN)
