# One warning policy for every target of the tree; warnings are errors.
add_library(ferrox_warnings INTERFACE)
target_compile_options(ferrox_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wshadow -Wconversion -Wsign-conversion -Wcast-qual -Wformat=2 -Wundef
  -Wimplicit-fallthrough
  $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual>)

# Registers a GoogleTest executable; every test case runs in its own process
# and fails after a minute instead of hanging (a leaked lock, a lost wake).
function(ferrox_add_gtest name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE ferrox_warnings GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 60 ENVIRONMENT "FERROX_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data")
endfunction()

# A libFuzzer target; only built with clang and FERROX_FUZZ. Its stored
# corpus (tests/fuzz/corpus/<name without fuzz_>) is replayed as a test case,
# so every input that once found a fault is checked on every run.
function(ferrox_add_fuzzer name)
  if(NOT FERROX_FUZZ)
    return()
  endif()
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ferrox_warnings)
  string(REGEX REPLACE "^fuzz_" "" corpus_name ${name})
  set(corpus ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${corpus_name})
  if(FERROX_TESTS AND EXISTS ${corpus})
    add_test(NAME ${name}.Corpus COMMAND ${name} -runs=0 -timeout=10 -rss_limit_mb=2048 ${corpus})
    set_tests_properties(${name}.Corpus PROPERTIES TIMEOUT 300)
  endif()
endfunction()
