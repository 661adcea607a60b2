nuv_add_bench(bench_mac
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/mac_bench.cpp
  LIBS nuv_mac nuv_iohid_sim nuv_cocoa_headless nuv_alloc_counter)
target_include_directories(bench_mac PRIVATE ${NUV_SOURCE_ROOT})
