# Read by CTest after the discovered test lists: the tests that drive Quorl's windows run on X11 (xcb),
# and one at a time, since keyboard shortcuts need their window to keep the display's input focus.
if(test_quorl_gui_TESTS)
  set_tests_properties(${test_quorl_gui_TESTS} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=xcb" RESOURCE_LOCK quorl_x_input_focus)
endif()
