# soak_bench: reads from the virtual device while 5 % of its answers come late, not at all or
# damaged; prints the wrong values reported OK (must be 0) and a failed read's time against the
# design's.
if(TARGET oxa_sim)
  add_executable(soak_bench ${CMAKE_CURRENT_LIST_DIR}/soak_bench.cpp)
  target_link_libraries(soak_bench PRIVATE oxa oxa_sim)
  oxa_warnings(soak_bench)

  # Shortened; a wrong value reported OK fails it, as the exit status does.
  oxa_bench_smoke(soak_bench "^wrong values reported OK 0 of [0-9]+ OK reads \\([0-9]+ failed\\), failed read [0-9.]+ ms against [0-9.]+ ms \\([0-9.]+\\)$" 300)
endif()
