add_executable(bench_imaging ${CMAKE_CURRENT_SOURCE_DIR}/imaging_benchmarks.cpp)
target_link_libraries(bench_imaging PRIVATE platform_imaging benchmark::benchmark)
