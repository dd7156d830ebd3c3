# scan_bench: a default scan of a mixed line (the virtual device and a pymodbus server on a test
# bus) at 9600 bit/s, against the least its time-outs allow.
if(TARGET fulctl AND TARGET oxa_sim)
  add_executable(scan_bench ${CMAKE_CURRENT_LIST_DIR}/scan_bench.cpp)
  target_link_libraries(scan_bench PRIVATE oxa_sim)
  target_include_directories(scan_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(scan_bench PRIVATE FULCTL="$<TARGET_FILE:fulctl>"
    PYMODBUS_PEER="${PROJECT_SOURCE_DIR}/tests/interop/pymodbus_rtu_peer.py")
  add_dependencies(scan_bench fulctl)
  oxa_warnings(scan_bench)

  # Addresses 1-6 at a 100 ms time-out; a scan that misses a device fails it.
  oxa_bench_smoke(scan_bench "^scan of 1-[0-9]+ at 9600 bit/s: [0-9.]+ s, least the time-outs allow [0-9.]+ s \\(ratio [0-9.]+\\)$" 120)
endif()
