# app_click_bench: from a button click to its result in the window, against the virtual device
# paced at 57600 baud, next to the wire time of the same frames.
if(TARGET ful03test_window AND TARGET oxa_sim)
  add_executable(app_click_bench ${CMAKE_CURRENT_LIST_DIR}/app_click_bench.cpp)
  target_link_libraries(app_click_bench PRIVATE ful03test_window oxa_sim)
  oxa_warnings(app_click_bench)
endif()
