# The update answer's fuzz target lives in fuzz/ with a build of its own (clang's
# libFuzzer when installed); see fuzz/CMakeLists.txt.
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/fuzz ${CMAKE_CURRENT_BINARY_DIR}/fuzz)
