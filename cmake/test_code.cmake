# How the native test programs are compiled. Their code mostly starts
# processes and waits, so it is built without optimisation: the code under
# test keeps its build type's flags. The test framework's headers are parsed
# once per tree, into one precompiled header every test target reuses.
if(NOT CHIMEWELL_TESTS OR CMAKE_CROSSCOMPILING)
  return()
endif()

set(CHIMEWELL_TEST_CODE_OPTIONS $<$<CONFIG:RelWithDebInfo,Release,MinSizeRel>:-O0>)

add_library(chimewell_test_pch OBJECT ${CMAKE_CURRENT_LIST_DIR}/test_pch.cpp)
target_link_libraries(chimewell_test_pch PRIVATE GTest::gtest)
target_compile_options(chimewell_test_pch PRIVATE ${CHIMEWELL_TEST_CODE_OPTIONS})
target_precompile_headers(chimewell_test_pch PRIVATE
  <gtest/gtest.h> <algorithm> <chrono> <cstdint> <filesystem> <functional> <map> <memory>
  <optional> <string> <string_view> <thread> <vector>)

# Compiles TARGET's own sources as test code.
function(chimewell_test_code target)
  target_compile_options(${target} PRIVATE ${CHIMEWELL_TEST_CODE_OPTIONS})
  target_precompile_headers(${target} REUSE_FROM chimewell_test_pch)
endfunction()
