nuv_add_bench(bench_winhid
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_winhid.cpp
  LIBS nuv_winhid nuv_winapi_sim nuv_forms_headless nuv_sim nuv_alloc_counter)
