# modbus_bench: our Modbus master against libmodbus's own master, both reading from a libmodbus
# RTU slave on a pseudo-terminal, and from the virtual device (function 65, paced lines).
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBMODBUS_BENCH REQUIRED IMPORTED_TARGET libmodbus)

if(NOT TARGET modbus_rtu_slave)
  add_executable(modbus_rtu_slave ${PROJECT_SOURCE_DIR}/tests/interop/modbus_rtu_slave.cpp)
  target_include_directories(modbus_rtu_slave PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(modbus_rtu_slave PRIVATE PkgConfig::LIBMODBUS_BENCH)
  oxa_warnings(modbus_rtu_slave)
endif()

add_executable(modbus_bench ${CMAKE_CURRENT_LIST_DIR}/modbus_bench.cpp)
target_link_libraries(modbus_bench PRIVATE oxa oxa_sim PkgConfig::LIBMODBUS_BENCH)
target_compile_definitions(modbus_bench PRIVATE
  MODBUS_RTU_SLAVE="$<TARGET_FILE:modbus_rtu_slave>")
add_dependencies(modbus_bench modbus_rtu_slave)
oxa_warnings(modbus_bench)

# Both masters over every case.
oxa_bench_smoke(modbus_bench "^median ratio ours/libmodbus [0-9]+\\.[0-9]{2} \\(FC3x10\\), [0-9]+\\.[0-9]{2} \\(FC3x125\\)$" 120)
