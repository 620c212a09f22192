# The engine-builds table with build detection, and the console's UTF-8 conversion.
list(APPEND NATIVE_UNITS
  ${CMAKE_SOURCE_DIR}/src/engine/engine_builds.cpp
  ${CMAKE_SOURCE_DIR}/src/base/utf8.cpp)
list(APPEND NATIVE_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/core_test.cpp)
