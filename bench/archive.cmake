# archive_bench: an archive range read into a file against the virtual device paced at
# 115200 bit/s, next to the wire time of its frames.
if(TARGET oxa_sim)
  add_executable(archive_bench ${CMAKE_CURRENT_LIST_DIR}/archive_bench.cpp)
  target_link_libraries(archive_bench PRIVATE oxa oxa_sim)
  oxa_warnings(archive_bench)

  # A smoke run in the test suite: a short range and the summary line. No figure is checked;
  # timings belong to full runs on a quiet machine.
  if(OXA_BUILD_TESTS)
    add_test(NAME archive_bench_quick
             COMMAND sh -c "out=$(\"$0\" --quick) || exit 1; printf '%s\\n' \"$out\"; printf '%s\\n' \"$out\" | tail -n 1 | grep -Eq '^median ratio time/wire [0-9]+\\.[0-9]{2} \\(20 blocks at 115200 bit/s\\)$'"
                     $<TARGET_FILE:archive_bench>)
    set_tests_properties(archive_bench_quick PROPERTIES TIMEOUT 120)
  endif()
endif()
