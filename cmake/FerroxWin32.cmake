# The Windows build's own settings (included by the top-level file when
# cross-building with MinGW-w64).

# -O2 as in the Linux build: g++ 12 at -O3 warns of array bounds inside the
# standard library's own copies (false positives, errors here).
foreach(lang C CXX)
  string(REPLACE "-O3" "-O2" CMAKE_${lang}_FLAGS_RELEASE "${CMAKE_${lang}_FLAGS_RELEASE}")
endforeach()

if(FERROX_TESTS)
  enable_testing()
  # GoogleTest built from Debian's sources (package googletest) with the
  # cross compiler: Debian ships no MinGW build of it.
  set(FERROX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${FERROX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(lib gtest gtest_main gmock)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
  include(GoogleTest)
endif()

# A module-definition file for a DLL, made from the objects that go into it:
# every function whose name starts with PREFIX is exported under its plain
# name and, where the compiler decorated it (__stdcall on x86), also under
# the decorated name "_Name@N" that callers of other compilers link against.
#   ferrox_stdcall_def(<target> <object library> <prefix>)
function(ferrox_stdcall_def target objects prefix)
  set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
  add_custom_command(OUTPUT ${def}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DPREFIX=${prefix} -DOUT=${def}
      "-DOBJECTS=$<TARGET_OBJECTS:${objects}>" -P ${PROJECT_SOURCE_DIR}/cmake/stdcall_def.cmake
    DEPENDS ${objects} $<TARGET_OBJECTS:${objects}> ${PROJECT_SOURCE_DIR}/cmake/stdcall_def.cmake
    COMMAND_EXPAND_LISTS
    COMMENT "Export list of ${target}")
  add_custom_target(${target}_def DEPENDS ${def})
  add_dependencies(${target} ${target}_def)
  target_sources(${target} PRIVATE ${def})
  set_source_files_properties(${def} PROPERTIES GENERATED TRUE)
endfunction()
