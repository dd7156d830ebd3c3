# plot_bench: the monitor's plot painted by the Qt view, 8 values of 6,000 reads, against a
# frame of a 60 Hz screen.
if(TARGET ful03test_window AND TARGET oxa_sim)
  add_executable(plot_bench ${CMAKE_CURRENT_LIST_DIR}/plot_bench.cpp)
  target_link_libraries(plot_bench PRIVATE ful03test_window oxa_sim)
  oxa_warnings(plot_bench)
  oxa_bench_smoke(plot_bench "^plot frame median [0-9.]+ ms greatest [0-9.]+ ms \\(8 x [0-9]+ reads\\), ratio to a 60 Hz frame [0-9.]+$" 120)
endif()
