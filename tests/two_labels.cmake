# Read by ctest after test discovery: labels for the tests that carry two, which discovery
# cannot give.
if(kib_slow_tests)
  set_tests_properties(${kib_slow_tests} PROPERTIES LABELS "e2e;slow")
endif()
if(kib_root_tests)
  set_tests_properties(${kib_root_tests} PROPERTIES LABELS "e2e;root")
endif()
