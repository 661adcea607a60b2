if(TARGET nuv_vornex AND TARGET nuv_winapi_sim)
  nuv_add_bench(vornex_bench SOURCES vornex_bench.cpp
    LIBS nuv_vornex nuv_winapi_sim nuv_forms_headless nuv_sim nuv_alloc_counter)
endif()
