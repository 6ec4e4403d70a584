# Read by CTest after the discovered test lists: the tests that drive Quorl's windows run on X11 (xcb),
# and one at a time, since keyboard shortcuts need their window to keep the display's input focus.
# Leak checking is off for them: the GL driver and D-Bus keep process-lifetime allocations whose stacks end
# in modules unloaded at exit, so no suppression can name them (memory errors are still checked).
if(test_quorl_gui_TESTS)
  set_tests_properties(${test_quorl_gui_TESTS} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=xcb;LSAN_OPTIONS=detect_leaks=0" RESOURCE_LOCK quorl_x_input_focus)
endif()
