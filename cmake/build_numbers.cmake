# Each flavour's build number from flavours/build_numbers.txt, the one place the release
# steps raise it, handed to the flavour's identity source as MURMELON_BUILD_NUMBER.
set(MURMELON_BUILD_NUMBERS ${CMAKE_SOURCE_DIR}/flavours/build_numbers.txt)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${MURMELON_BUILD_NUMBERS})

function(murmelon_build_number flavour)
  file(STRINGS ${MURMELON_BUILD_NUMBERS} lines REGEX "^${flavour}[ \t]")
  list(LENGTH lines count)
  if(NOT count EQUAL 1 OR NOT lines MATCHES "^${flavour}[ \t]+([1-9][0-9]*)[ \t]*$")
    message(FATAL_ERROR "${MURMELON_BUILD_NUMBERS}: needs one line \"${flavour} <build number>\"")
  endif()
  target_compile_definitions(${flavour} PRIVATE MURMELON_BUILD_NUMBER=${CMAKE_MATCH_1})
endfunction()
