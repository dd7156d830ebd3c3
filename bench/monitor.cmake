# monitor_bench: the monitor's pace polling 4 integrators every 100 ms at 57600 bit/s, its CPU
# per read, and its heap after 100,000 reads.
if(TARGET oxa_sim)
  add_executable(monitor_bench ${CMAKE_CURRENT_LIST_DIR}/monitor_bench.cpp)
  target_link_libraries(monitor_bench PRIVATE oxa oxa_window oxa_sim)
  oxa_warnings(monitor_bench)

  # A smoke run in the test suite: both parts, shortened, and the summary line. No figure is
  # checked; timings belong to full runs on a quiet machine.
  if(OXA_BUILD_TESTS)
    add_test(NAME monitor_bench_quick
             COMMAND sh -c "out=$(\"$0\" --quick) || exit 1; printf '%s\\n' \"$out\"; printf '%s\\n' \"$out\" | tail -n 1 | grep -Eq '^interval median [0-9.]+ ms greatest [0-9.]+ ms \\(set 100\\), cpu [0-9.]+ ms/read, heap [0-9]+/[0-9]+/[0-9]+ KiB$'"
                     $<TARGET_FILE:monitor_bench>)
    set_tests_properties(monitor_bench_quick PROPERTIES TIMEOUT 180)
  endif()
endif()
