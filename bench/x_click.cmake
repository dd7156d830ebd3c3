# x_click_bench: the window's click to result through a real X server (Xvfb), the click sent by
# XTest and the result seen by XDamage, next to the wire time.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(OXA_XCLICK IMPORTED_TARGET x11 xtst xdamage)
endif()
if(TARGET ful03test AND TARGET oxa_sim AND OXA_XCLICK_FOUND)
  add_executable(x_click_bench ${CMAKE_CURRENT_LIST_DIR}/x_click_bench.cpp)
  target_link_libraries(x_click_bench PRIVATE oxa_sim oxa_window PkgConfig::OXA_XCLICK)
  target_compile_definitions(x_click_bench PRIVATE WINDOW_PROGRAM="$<TARGET_FILE:ful03test>")
  add_dependencies(x_click_bench ful03test)
  oxa_warnings(x_click_bench)

  oxa_bench_smoke(x_click_bench "^click to result median [0-9.]+ ms p90 [0-9.]+ ms, wire [0-9.]+ ms, over the wire -?[0-9.]+ ms$" 120)
endif()
