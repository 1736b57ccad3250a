# A 128 KiB media file (block size 255, commit at once) beside a plain segmented download of the same
# bytes, through the hub paced at 250 kbit/s and 1 Mbit/s (run it in the release tree).
if(TARGET kr_sim)
  add_executable(bench_media ${CMAKE_SOURCE_DIR}/bench/bench_media.cpp)
  target_link_libraries(bench_media PRIVATE krcan_core kr_hal kr_sim)
endif()
