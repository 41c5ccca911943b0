# The forms drawn with native controls: the panel, the mix window and a form of every kind,
# driven and checked through Win32 (under Xvfb when run by scripts/wine-tests).
add_executable(render_win32_test render_test.cpp)
target_link_libraries(render_win32_test PRIVATE kmv_core GTest::gtest_main)
gtest_discover_tests(render_win32_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
