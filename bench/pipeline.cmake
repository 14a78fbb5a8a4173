add_executable(bench_camera_pipeline ${CMAKE_CURRENT_LIST_DIR}/camera_pipeline_driver.cpp)
target_link_libraries(bench_camera_pipeline PRIVATE quillane_process_support
  quillane_camd_test_support platform_io)
target_compile_definitions(bench_camera_pipeline PRIVATE
  QUILLANE_EXTENSION_PATH="$<TARGET_FILE:quillane-camera-extension>"
  QUILLANE_CAMD_PATH="$<TARGET_FILE:quillane-camd>")
add_dependencies(bench_camera_pipeline quillane-camera-extension quillane-camd)
