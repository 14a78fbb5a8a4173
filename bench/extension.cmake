add_executable(bench_extension ${CMAKE_CURRENT_LIST_DIR}/extension_benchmarks.cpp)
target_link_libraries(bench_extension PRIVATE quillane_extension_core libyuv::libyuv
  benchmark::benchmark)
add_executable(bench_extension_cpu ${CMAKE_CURRENT_LIST_DIR}/extension_cpu_driver.cpp)
target_link_libraries(bench_extension_cpu PRIVATE quillane_extension_core)
