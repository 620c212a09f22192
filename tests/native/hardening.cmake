# Hardening: generated inputs against plain models for the units that take input from
# outside (console texts, command arguments, setting values, codec names). The update
# answer has its fuzz target in fuzz/.
list(APPEND NATIVE_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/hardening_test.cpp)
