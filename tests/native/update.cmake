# Update service: digests, the request with the last run's report, the answer parser,
# the save-name check, the release signature and the exchange over a scripted connection
# on a scripted clock.
# The fuzz target (fuzz/) builds the same units.
set(UPDATE_NATIVE_UNITS
  ${CMAKE_SOURCE_DIR}/src/update/check_clock.cpp
  ${CMAKE_SOURCE_DIR}/src/update/release_signature.cpp
  ${CMAKE_SOURCE_DIR}/src/update/digest.cpp
  ${CMAKE_SOURCE_DIR}/src/update/volume_serial.cpp
  ${CMAKE_SOURCE_DIR}/src/update/update_request.cpp
  ${CMAKE_SOURCE_DIR}/src/update/update_answer.cpp
  ${CMAKE_SOURCE_DIR}/src/update/save_name.cpp
  ${CMAKE_SOURCE_DIR}/src/update/update_exchange.cpp
  ${CMAKE_SOURCE_DIR}/src/base/run_record.cpp)
list(APPEND NATIVE_UNITS ${UPDATE_NATIVE_UNITS})
list(APPEND NATIVE_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/update_digest_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/update_request_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/update_signature_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/update_exchange_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/update_run_report_test.cpp)
