# Crash reporting: the call-stack walker's Windows-free pieces.
list(APPEND NATIVE_UNITS
  ${CMAKE_SOURCE_DIR}/src/crash/bounded_copy.cpp
  ${CMAKE_SOURCE_DIR}/src/crash/stacktrace_entry.cpp
  ${CMAKE_SOURCE_DIR}/src/crash/debug_sections.cpp
  ${CMAKE_SOURCE_DIR}/src/crash/function_name.cpp
  ${CMAKE_SOURCE_DIR}/src/crash/symbol_path.cpp)
list(APPEND NATIVE_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/crash_walker_test.cpp)
