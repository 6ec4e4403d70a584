# Read by CTest after the discovered test lists: the minute-long pose server test carries the label
# "slow" (ctest -LE slow leaves it out).
if(test_pose_server_TESTS)
  set_tests_properties(PoseServerMinute.ClientPingingEverySecondStaysConnected PROPERTIES LABELS slow TIMEOUT 120)
endif()
