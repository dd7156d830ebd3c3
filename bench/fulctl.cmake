# fulctl_bench: fulctl from a fresh process next to a bare process that only opens and closes
# the port, the time of a scan against its bound, and the period a repeated read achieves.
if(TARGET fulctl AND TARGET oxa_sim)
  add_executable(port_open_close ${CMAKE_CURRENT_LIST_DIR}/port_open_close.cpp)
  target_link_libraries(port_open_close PRIVATE oxa_serial)
  oxa_warnings(port_open_close)

  add_executable(fulctl_bench ${CMAKE_CURRENT_LIST_DIR}/fulctl_bench.cpp)
  target_link_libraries(fulctl_bench PRIVATE oxa_sim)
  target_include_directories(fulctl_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(fulctl_bench PRIVATE FULCTL="$<TARGET_FILE:fulctl>"
                                                  PORT_OPEN_CLOSE="$<TARGET_FILE:port_open_close>")
  add_dependencies(fulctl_bench fulctl port_open_close)
  oxa_warnings(fulctl_bench)
endif()
