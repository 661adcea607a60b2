nuv_add_test(test_sim
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_sim_device.cpp ${CMAKE_CURRENT_SOURCE_DIR}/test_sim_bus.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/test_sim_demo.cpp
  LIBS nuv_sim
  LABELS unit)
