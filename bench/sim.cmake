# sim_bench: answer latency of the virtual device on a pseudo-terminal, and its pacing.
add_executable(sim_bench ${CMAKE_CURRENT_LIST_DIR}/sim_bench.cpp)
target_link_libraries(sim_bench PRIVATE oxa_sim)
oxa_warnings(sim_bench)
