# The Windows build: the same core and handlers, the native window, and tests under Wine.

# The core's rules that differ per system, checked on Windows itself.
include(CTest)
if(BUILD_TESTING)
    add_executable(tst_files_win tests/windows/tst_files_win.cpp)
    target_link_libraries(tst_files_win PRIVATE kolup-core)
    add_test(NAME tst_files_win COMMAND tst_files_win)
    set_tests_properties(tst_files_win PROPERTIES TIMEOUT 120)
endif()
