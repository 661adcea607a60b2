# The AppKit backend on GNUstep (NUV_BUILD_GNUSTEP=ON). It needs a display: the GNUstep suite
# (tests/gnustep/run-gnustep-suite.sh) runs it under its own Xvfb; plain `ctest -L unit` does
# not pick it up.
if(TARGET nuv_cocoa_appkit AND NOT APPLE)
  set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/gnustep/cocoa_appkit_test.mm
                              PROPERTIES LANGUAGE CXX)
  nuv_add_test(test_cocoa_appkit
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/gnustep/cocoa_appkit_test.mm
    LIBS nuv_cocoa_appkit nuv_mac nuv_iohid_sim
    LABELS gnustep)
endif()
