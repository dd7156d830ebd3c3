# archive_bench: an archive range read into a file against the virtual device paced at
# 115200 bit/s, next to the wire time of its frames.
if(TARGET oxa_sim)
  add_executable(archive_bench ${CMAKE_CURRENT_LIST_DIR}/archive_bench.cpp)
  target_link_libraries(archive_bench PRIVATE oxa oxa_sim)
  oxa_warnings(archive_bench)

  # A short range.
  oxa_bench_smoke(archive_bench "^median ratio time/wire [0-9]+\\.[0-9]{2} \\(20 blocks at 115200 bit/s\\)$" 120)
endif()
