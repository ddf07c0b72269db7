# One warning policy for every target of the tree; warnings are errors.
add_library(ferrox_warnings INTERFACE)
target_compile_options(ferrox_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wshadow -Wconversion -Wsign-conversion -Wcast-qual -Wformat=2 -Wundef
  -Wimplicit-fallthrough
  $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual>)

# Registers a GoogleTest executable; every test case runs in its own process.
function(ferrox_add_gtest name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE ferrox_warnings GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "FERROX_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data")
endfunction()

# A libFuzzer target; only built with clang and FERROX_FUZZ.
function(ferrox_add_fuzzer name)
  if(NOT FERROX_FUZZ)
    return()
  endif()
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ferrox_warnings)
endfunction()
