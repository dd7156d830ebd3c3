# exchange_log_bench: a register read with the exchange log recording and without, in one run,
# and the log's memory at its bound.
if(TARGET oxa_sim)
  add_executable(exchange_log_bench ${CMAKE_CURRENT_LIST_DIR}/exchange_log_bench.cpp)
  target_link_libraries(exchange_log_bench PRIVATE oxa oxa_window oxa_sim)
  oxa_warnings(exchange_log_bench)

  # A smoke run in the test suite: both modes at both speeds and the summary line. No figure
  # is checked; timings belong to full runs on a quiet machine.
  if(OXA_BUILD_TESTS)
    add_test(NAME exchange_log_bench_quick
             COMMAND sh -c "out=$(\"$0\" --quick) || exit 1; printf '%s\\n' \"$out\"; printf '%s\\n' \"$out\" | tail -n 1 | grep -Eq '^median ratio with/without log [0-9]+\\.[0-9]{2} \\(unpaced\\), [0-9]+\\.[0-9]{2} \\(57600\\)$'"
                     $<TARGET_FILE:exchange_log_bench>)
    set_tests_properties(exchange_log_bench_quick PROPERTIES TIMEOUT 120)
  endif()
endif()
