nuv_add_bench(bench_flow
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_flow.cpp
  LIBS nuv_flow nuv_alloc_counter)
