nuv_add_bench(bench_protocol
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_protocol.cpp
  LIBS nuv_protocol nuv_sim)
