add_executable(bench_camd ${CMAKE_CURRENT_LIST_DIR}/camd_benchmarks.cpp)
target_link_libraries(bench_camd PRIVATE quillane_camd_test_support benchmark::benchmark)
