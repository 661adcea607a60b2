if(TARGET nuv_hidraw)
  nuv_add_test(hidraw_descriptor_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hidraw/test_hidraw_descriptor.cpp
    LIBS nuv_hidraw
    LABELS unit)
  nuv_add_test(hidraw_enumerator_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hidraw/test_hidraw_enumerator.cpp
    LIBS nuv_hidraw
    LABELS unit)
  nuv_add_test(hidraw_node_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hidraw/test_hidraw_node.cpp
    LIBS nuv_hidraw
    LABELS unit)
  target_include_directories(hidraw_enumerator_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/hidraw)
  target_include_directories(hidraw_node_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/hidraw)
endif()
