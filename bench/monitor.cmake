# monitor_bench: the monitor's pace polling 8 series of 2 devices every 100 ms at 57600 bit/s,
# its CPU per read, and its heap over 1,000,000 reads.
if(TARGET oxa_sim)
  add_executable(monitor_bench ${CMAKE_CURRENT_LIST_DIR}/monitor_bench.cpp)
  target_link_libraries(monitor_bench PRIVATE oxa oxa_window oxa_sim)
  oxa_warnings(monitor_bench)

  # Both parts, shortened.
  oxa_bench_smoke(monitor_bench "^interval median [0-9.]+ ms greatest [0-9.]+ ms \\(set 100\\), cpu [0-9.]+ ms/read, heap [0-9]+/[0-9]+/[0-9]+ KiB$" 60)
endif()
