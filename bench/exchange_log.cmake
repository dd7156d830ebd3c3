# exchange_log_bench: a register read with the exchange log recording and without, in one run,
# and the log's memory at its bound.
if(TARGET oxa_sim)
  add_executable(exchange_log_bench ${CMAKE_CURRENT_LIST_DIR}/exchange_log_bench.cpp)
  target_link_libraries(exchange_log_bench PRIVATE oxa oxa_window oxa_sim)
  oxa_warnings(exchange_log_bench)

  # Both modes at both speeds, quickly.
  oxa_bench_smoke(exchange_log_bench "^median ratio with/without log [0-9]+\\.[0-9]{2} \\(unpaced\\), [0-9]+\\.[0-9]{2} \\(57600\\)$" 120)
endif()
