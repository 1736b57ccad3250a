# The display mirror decodes bitmaps with Debian's stb_image and draws through the toolkit's back
# end (GLFW, GLEW, FreeType and the embedded fonts), so the window part links both.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KR_STB REQUIRED IMPORTED_TARGET stb)
if(TARGET krcan_win)
  target_link_libraries(krcan_win PUBLIC PkgConfig::KR_STB kr_ui)
endif()
