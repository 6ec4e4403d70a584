# Read by CTest after the discovered test list: GL drawing runs on X11 (xcb). Leak checking is off: the
# GL driver keeps process-lifetime allocations whose stacks end in modules unloaded at exit, so no
# suppression can name them (memory errors are still checked).
if(test_render_TESTS)
  set_tests_properties(${test_render_TESTS} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=xcb;LSAN_OPTIONS=detect_leaks=0")
endif()
