# removal_core: walks, counts and removes folder trees; Qt-free, built for both
# platforms. Its tests run natively and, in the cross build, under Wine.
set(_removal_dir ${CMAKE_CURRENT_LIST_DIR}/..)

# The same sources make a second library with fault injection compiled in, for
# the tests of what only real Windows (or a file system Wine lacks) produces.
function(removal_library name)
  add_library(${name} STATIC
    ${_removal_dir}/src/removal/removal.h
    ${_removal_dir}/src/removal/fs.h
    ${_removal_dir}/src/removal/faults.h
    ${_removal_dir}/src/removal/guard.h
    ${_removal_dir}/src/removal/removal.cpp
    ${_removal_dir}/src/removal/guard.cpp)
  if(WIN32)
    target_sources(${name} PRIVATE ${_removal_dir}/src/removal/fs_win.cpp
      ${_removal_dir}/src/removal/guard_win.cpp)
  else()
    target_sources(${name} PRIVATE ${_removal_dir}/src/removal/fs_posix.cpp
      ${_removal_dir}/src/removal/guard_posix.cpp)
  endif()
  target_include_directories(${name} PUBLIC ${_removal_dir})
  target_link_libraries(${name} PUBLIC utf)
  if(WIN32)
    target_link_libraries(${name} PUBLIC ntdll shell32 ole32 uuid PRIVATE velta_common)
  endif()
endfunction()
removal_library(removal_core)

if(VELTA_TESTS)
  add_executable(removal_tests
    ${_removal_dir}/tests/removal/test_support.h
    ${_removal_dir}/tests/removal/test_support.cpp
    ${_removal_dir}/tests/removal/test_removal.cpp
    ${_removal_dir}/tests/removal/test_guard.cpp)
  if(WIN32)
    target_sources(removal_tests PRIVATE ${_removal_dir}/tests/removal/test_removal_win32.cpp)
  else()
    target_sources(removal_tests PRIVATE ${_removal_dir}/tests/removal/test_removal_posix.cpp)
  endif()
  target_link_libraries(removal_tests PRIVATE removal_core velta_common doctest_main)

  # One ctest entry per doctest suite, so a failure names its area.
  set(_removal_suites walk arithmetic messages guard)
  if(WIN32)
    list(APPEND _removal_suites win32)
  else()
    list(APPEND _removal_suites posix)
  endif()
  foreach(suite IN LISTS _removal_suites)
    add_test(NAME removal.core.${suite} COMMAND removal_tests --test-suite=${suite})
  endforeach()
  if(NOT WIN32)
    add_test(NAME removal.core.posix-root COMMAND sh -c
      "[ \"$(id -u)\" = 0 ] || exit 77; exec \"$0\" --test-suite=posix-root"
      $<TARGET_FILE:removal_tests>)
    set_tests_properties(removal.core.posix-root PROPERTIES SKIP_RETURN_CODE 77)
  endif()

  # Faults injected where the platform cannot make them happen.
  removal_library(removal_core_faults)
  target_compile_definitions(removal_core_faults PUBLIC VELTA_REMOVAL_FAULTS)
  add_executable(removal_fault_tests
    ${_removal_dir}/tests/removal/test_support.h
    ${_removal_dir}/tests/removal/test_support.cpp
    ${_removal_dir}/tests/removal/test_faults.cpp)
  target_link_libraries(removal_fault_tests PRIVATE removal_core_faults velta_common doctest_main)
  add_test(NAME removal.faults COMMAND removal_fault_tests)
endif()
