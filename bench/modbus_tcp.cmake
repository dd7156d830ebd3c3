# modbus_tcp_bench: one Modbus TCP read over loopback, our master against libmodbus's
# modbus_read_registers, on libmodbus's TCP server and on the virtual device.
if(TARGET oxa_sim)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBMODBUS_TCP_BENCH REQUIRED IMPORTED_TARGET libmodbus)
  if(NOT TARGET modbus_tcp_server)
    add_executable(modbus_tcp_server ${PROJECT_SOURCE_DIR}/tests/interop/modbus_tcp_server.cpp)
    target_include_directories(modbus_tcp_server PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(modbus_tcp_server PRIVATE PkgConfig::LIBMODBUS_TCP_BENCH)
    oxa_warnings(modbus_tcp_server)
  endif()

  add_executable(modbus_tcp_bench ${CMAKE_CURRENT_LIST_DIR}/modbus_tcp_bench.cpp)
  target_link_libraries(modbus_tcp_bench PRIVATE oxa oxa_sim PkgConfig::LIBMODBUS_TCP_BENCH)
  target_compile_definitions(modbus_tcp_bench PRIVATE
    MODBUS_TCP_SERVER="$<TARGET_FILE:modbus_tcp_server>")
  add_dependencies(modbus_tcp_bench modbus_tcp_server)
  oxa_warnings(modbus_tcp_bench)

  oxa_bench_smoke(modbus_tcp_bench "^median ratio ours/libmodbus [0-9]+\\.[0-9]{2} \\(libmodbus server\\), [0-9]+\\.[0-9]{2} \\(virtual device\\)$" 120)
endif()
