list(APPEND NATIVE_UNITS
  ${CMAKE_SOURCE_DIR}/src/core/probe_table.cpp
  ${CMAKE_SOURCE_DIR}/src/core/utf8.cpp)
list(APPEND NATIVE_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/core_test.cpp)
