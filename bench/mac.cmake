nuv_add_bench(bench_mac
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/mac_bench.cpp
  LIBS nuv_mac nuv_iohid_sim nuv_cocoa_headless)
target_include_directories(bench_mac PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(bench_mac PRIVATE -Wno-mismatched-new-delete)
