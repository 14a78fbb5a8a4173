add_executable(bench_media ${CMAKE_CURRENT_LIST_DIR}/media_pool_bench.cpp)
target_link_libraries(bench_media PRIVATE platform_media benchmark::benchmark)
