# The removal worker FolderSizeCalculator, part of the Uninstall unit: its
# QtTest and its benchmark. Included once Uninstall_unit is defined.
if(VELTA_TESTS AND TARGET Qt6::Test)
  add_executable(tst_foldersizecalculator tests/tst_foldersizecalculator.cpp)
  target_link_libraries(tst_foldersizecalculator PRIVATE Uninstall_unit Qt6::Test)
  add_test(NAME removal.foldersizecalculator COMMAND tst_foldersizecalculator)
  if(NOT WIN32)
    set_tests_properties(removal.foldersizecalculator PROPERTIES
      ENVIRONMENT QT_QPA_PLATFORM=offscreen)
  endif()
endif()

if(NOT WIN32) # measured natively; under Wine scripts/bench-uninstall.sh times the program
  add_executable(bench_removal tests/bench_removal.cpp)
  target_link_libraries(bench_removal PRIVATE Uninstall_unit)
else() # the floor scripts/bench-uninstall.sh measures Uninstall.exe against
  add_executable(bench_remove_tree tests/bench_remove_tree.cpp)
  target_link_libraries(bench_remove_tree PRIVATE shell32)
endif()
