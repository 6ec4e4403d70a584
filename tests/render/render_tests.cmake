# Read by CTest after the discovered test list: GL drawing needs X11 (xcb); the offscreen platform has none.
if(test_render_TESTS)
  set_tests_properties(${test_render_TESTS} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=xcb")
endif()
