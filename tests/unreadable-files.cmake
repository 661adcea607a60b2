# The refusals of unreadable files, once more with file permissions binding even root (the
# suites run as root in CI, where the cases themselves would skip): see without-file-override.sh.
set(nuv_bound_by_permissions ${CMAKE_CURRENT_SOURCE_DIR}/without-file-override.sh)
if(TARGET test_protocol)
  add_test(NAME UnreadableFiles.ByteSource
    COMMAND ${nuv_bound_by_permissions} $<TARGET_FILE:test_protocol>
            --gtest_filter=TempDir.RefusesAnUnreadableFile)
  set_tests_properties(UnreadableFiles.ByteSource PROPERTIES LABELS unit
    FAIL_REGULAR_EXPRESSION "SKIPPED")
endif()
if(TARGET test_cli_flows)
  add_test(NAME UnreadableFiles.CliDownload
    COMMAND ${nuv_bound_by_permissions} $<TARGET_FILE:test_cli_flows>
            --gtest_filter=CliTest.UnreadableImageIsAFileError)
  set_tests_properties(UnreadableFiles.CliDownload PROPERTIES LABELS cli
    FAIL_REGULAR_EXPRESSION "SKIPPED")
endif()
