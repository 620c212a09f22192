list(APPEND NATIVE_UNITS
  ${CMAKE_SOURCE_DIR}/src/voice/codec_state.cpp
  ${CMAKE_SOURCE_DIR}/src/voice/numbers.cpp
  ${CMAKE_SOURCE_DIR}/src/voice/pattern_scan.cpp)
list(APPEND NATIVE_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/voice_codec_state_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/voice_patching_test.cpp)
