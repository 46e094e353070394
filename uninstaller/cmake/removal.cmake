# removal_core: walks, counts and removes folder trees; Qt-free, built for both
# platforms. Its tests run natively and, in the cross build, under Wine.
set(_removal_dir ${CMAKE_CURRENT_LIST_DIR}/..)

add_library(removal_core STATIC
  ${_removal_dir}/src/utils/remove_tree.h
  ${_removal_dir}/src/utils/remove_tree_fs.h
  ${_removal_dir}/src/utils/remove_tree.cpp)
if(WIN32)
  target_sources(removal_core PRIVATE ${_removal_dir}/src/utils/remove_tree_win32.cpp)
else()
  target_sources(removal_core PRIVATE ${_removal_dir}/src/utils/remove_tree_posix.cpp)
endif()
target_include_directories(removal_core PUBLIC ${_removal_dir})
target_link_libraries(removal_core PUBLIC utf)
if(WIN32)
  target_link_libraries(removal_core PUBLIC ntdll shell32 ole32 uuid)
endif()

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
  target_link_libraries(removal_tests PRIVATE removal_core doctest_main)

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
endif()

# The worker and its benchmark need the Uninstall unit, which is defined after
# this file is included; they are added once the directory is processed.
function(_removal_add_qt_targets)
  if(NOT TARGET Uninstall_unit)
    return()
  endif()
  if(VELTA_TESTS AND TARGET Qt6::Test)
    add_executable(tst_foldersizecalculator ${_removal_dir}/tests/tst_foldersizecalculator.cpp)
    set_target_properties(tst_foldersizecalculator PROPERTIES AUTOMOC ON)
    target_link_libraries(tst_foldersizecalculator PRIVATE Uninstall_unit Qt6::Test)
    add_test(NAME removal.foldersizecalculator COMMAND tst_foldersizecalculator)
    if(NOT WIN32)
      set_tests_properties(removal.foldersizecalculator PROPERTIES
        ENVIRONMENT QT_QPA_PLATFORM=offscreen)
    endif()
  endif()

  if(NOT WIN32) # measured natively; under Wine scripts/bench-uninstall.sh times the program
    add_executable(bench_removal ${_removal_dir}/tests/bench_removal.cpp)
    target_link_libraries(bench_removal PRIVATE Uninstall_unit)
  endif()
endfunction()
cmake_language(DEFER CALL _removal_add_qt_targets)
