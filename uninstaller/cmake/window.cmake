# The Uninstall program, its Windows resources and their tests.
# Included from uninstaller/CMakeLists.txt: paths are relative to uninstaller/.

set(app_icon ${CMAKE_SOURCE_DIR}/resources/app.ico)
# rcc's first format records no file times: from the second on, each resource
# carries its file's modification time, which in a clone is the checkout's, so
# every build of a commit would differ.
set(rcc_undated --format-version 1)

# The window's own icon, for a start from another working folder: on Windows
# the icon group of Uninstall.rc; natively, without Windows resources, a Qt
# resource of the same file.
if(NOT WIN32)
  qt_add_resources(Uninstall_unit app_icon PREFIX / BASE ${CMAKE_SOURCE_DIR}/resources
    FILES ${app_icon} OPTIONS ${rcc_undated})
endif()

if(WIN32)
  # Icon group, manifest and version block: inside Uninstall.exe, and linked
  # into the test that reads them back, so that the loader's use of the
  # manifest shows there too.
  add_library(Uninstall_resources OBJECT Uninstall.rc)
  target_include_directories(Uninstall_resources PRIVATE
    ${CMAKE_SOURCE_DIR}/resources ${CMAKE_CURRENT_SOURCE_DIR})
  set_source_files_properties(Uninstall.rc PROPERTIES
    OBJECT_DEPENDS "${app_icon};${CMAKE_CURRENT_SOURCE_DIR}/Uninstall.manifest")

  if(VELTA_TESTS)
    add_executable(uninstall_resources_test tests/test_uninstall_resources.cpp
      $<TARGET_OBJECTS:Uninstall_resources>)
    target_link_libraries(uninstall_resources_test PRIVATE velta_common doctest_main version)
    add_dependencies(uninstall_resources_test Uninstall)
    add_test(NAME uninstall.resources COMMAND uninstall_resources_test)
    # 64-bit, GUI, stripped, system DLLs only (the prefix exists once a Wine test ran).
    add_test(NAME uninstall.program COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check-exe.sh
      $<TARGET_FILE:Uninstall> ${CMAKE_BINARY_DIR})
    set_tests_properties(uninstall.program PROPERTIES DEPENDS uninstall.resources)
  endif()
endif()

# Uninstall.h includes the header that uic makes from the form; users of the
# unit find it in the unit's autogen folder.
get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
if(multi_config)
  set(ui_headers ${CMAKE_CURRENT_BINARY_DIR}/Uninstall_unit_autogen/include_$<CONFIG>)
else()
  set(ui_headers ${CMAKE_CURRENT_BINARY_DIR}/Uninstall_unit_autogen/include)
endif()
target_include_directories(Uninstall_unit INTERFACE ${ui_headers})

add_executable(Uninstall WIN32 main.cpp)
target_link_libraries(Uninstall PRIVATE Uninstall_unit velta_common)
if(WIN32)
  target_sources(Uninstall PRIVATE Uninstall.rc)
  # The static Qt's own qt.conf, empty: none beside the program is read.
  qt_add_resources(Uninstall qt_conf PREFIX /qt/etc FILES qt.conf OPTIONS ${rcc_undated})
  target_include_directories(Uninstall PRIVATE
    ${CMAKE_SOURCE_DIR}/resources ${CMAKE_CURRENT_SOURCE_DIR})
endif()
if(MINGW)
  target_link_options(Uninstall PRIVATE -s)
  velta_search_system32(Uninstall)
endif()

# For the benchmark: the same program noting when it reaches each stage of its
# start (tests/timed_uninstall.h), on Windows only; bench_window_timed below is
# its counterpart.
if(WIN32)
  add_executable(Uninstall_timed WIN32 main.cpp Uninstall.h Uninstall.cpp
    src/widgets/ui/uninstall_ui.ui Uninstall.rc)
  set_target_properties(Uninstall_timed PROPERTIES AUTOUIC_SEARCH_PATHS src/widgets/ui)
  target_compile_options(Uninstall_timed PRIVATE
    -include ${CMAKE_CURRENT_SOURCE_DIR}/tests/timed_uninstall.h)
  target_include_directories(Uninstall_timed PRIVATE
    ${CMAKE_SOURCE_DIR}/resources ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  target_link_libraries(Uninstall_timed PRIVATE Qt6::Widgets reg_settings removal_core
    velta_common)
  qt_add_resources(Uninstall_timed qt_conf PREFIX /qt/etc FILES qt.conf OPTIONS ${rcc_undated})
  target_link_options(Uninstall_timed PRIVATE -s)
endif()

# The baseline of scripts/bench-uninstall.sh, linked the same way: a bare window
# with the window's title and size and the form's check box texts, so that both
# sides pay the same font fallback. The texts are read from the form here (any
# check box without a plain text stops the configuration), not copied.
set(form ${CMAKE_CURRENT_SOURCE_DIR}/src/widgets/ui/uninstall_ui.ui)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${form})
file(READ ${form} form_xml)
string(REGEX MATCHALL "class=\"QCheckBox\"" boxes "${form_xml}")
string(REGEX MATCHALL
  "class=\"QCheckBox\"[^>]*>[ \r\n]*<property name=\"text\">[ \r\n]*<string>[^<&]*</string>"
  box_texts "${form_xml}")
list(LENGTH boxes box_count)
list(LENGTH box_texts text_count)
if(box_count EQUAL 0 OR NOT box_count EQUAL text_count)
  message(FATAL_ERROR "${form}: ${text_count} of ${box_count} check boxes have a plain text "
    "first; the bench window (tests/bench_window.cpp) takes its texts from there")
endif()
set(texts "")
foreach(box ${box_texts})
  string(REGEX REPLACE ".*<string>([^<]*)</string>" "u\"\\1\"," text "${box}")
  string(APPEND texts "    ${text}\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/bench_window_texts.h CONTENT
  "// Made by window.cmake from uninstall_ui.ui: the texts of its check boxes.\n\
const char16_t* const kCheckBoxTexts[] = {\n${texts}};\n")
add_executable(bench_window WIN32 tests/bench_window.cpp)
set(bench_windows bench_window)
if(WIN32)
  add_executable(bench_window_timed WIN32 tests/bench_window.cpp)
  target_compile_options(bench_window_timed PRIVATE
    -include ${CMAKE_CURRENT_SOURCE_DIR}/tests/timed_start.h)
  list(APPEND bench_windows bench_window_timed)
endif()
foreach(bench ${bench_windows})
  target_include_directories(${bench} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}
    ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${bench} PRIVATE Qt6::Widgets)
  if(MINGW)
    target_link_options(${bench} PRIVATE -s)
  endif()
endforeach()

if(NOT VELTA_TESTS OR NOT TARGET Qt6::Test)
  return()
endif()

# Natively the tests run over the registry stand-in on Qt's offscreen platform;
# under Wine over Wine's registry, in real windows on the runner's display. The
# window tests and the end-to-end cases share the one WindowSettings key there,
# and the display's keyboard focus with every other test that shows a window.
file(COPY ${app_icon} DESTINATION ${CMAKE_BINARY_DIR}/bin)
function(uninstall_test name)
  add_test(NAME ${name} ${ARGN})
  if(WIN32)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wine-desktop TIMEOUT 180)
  else()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 120)
  endif()
endfunction()

# In-process tests, one per unit; the window's by theme, over one fixture.
add_executable(tst_uninstallui tests/tst_uninstallui.cpp src/widgets/ui/uninstall_ui.ui)
set_target_properties(tst_uninstallui PROPERTIES
  AUTOUIC_SEARCH_PATHS ${CMAKE_CURRENT_SOURCE_DIR}/src/widgets/ui)
target_link_libraries(tst_uninstallui PRIVATE Qt6::Widgets Qt6::Test)
add_library(window_test_support STATIC tests/window_support.h tests/window_support.cpp)
target_link_libraries(window_test_support PUBLIC Uninstall_unit Qt6::Test)
add_executable(tst_uninstallwindow tests/tst_uninstallwindow.cpp)
target_link_libraries(tst_uninstallwindow PRIVATE window_test_support)
if(WIN32) # the program's icon group, which the window falls back on
  target_sources(tst_uninstallwindow PRIVATE $<TARGET_OBJECTS:Uninstall_resources>)
endif()
add_executable(tst_uninstallwindow_confirm tests/tst_uninstallwindow_confirm.cpp)
target_link_libraries(tst_uninstallwindow_confirm PRIVATE window_test_support)
uninstall_test(uninstall.ui COMMAND tst_uninstallui)
uninstall_test(uninstall.window COMMAND tst_uninstallwindow)
uninstall_test(uninstall.window.confirm COMMAND tst_uninstallwindow_confirm)

# End to end: the real program on a display, driven with the keyboard; natively
# over the registry stand-in (seeded with reg), under Wine over Wine's registry
# with the folders inside the prefix.
set(e2e_cases skip-upper skip-lower skip-mixed near-miss cancel alt-f4 nothing-ticked
  token-only settings-only all-four servicepath-missing close-during-removal
  confirm-error appdata-empty platform-missing protected locked-file links icon-elsewhere)
if(WIN32)
  # Qt plugins of each kind the program links in, planted by the planted case.
  foreach(plant "platforms;qwindows;org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3;windows"
                "styles;qwindowsvistastyle;org.qt-project.Qt.QStyleFactoryInterface;windowsvista"
                "imageformats;qico;org.qt-project.Qt.QImageIOHandlerFactoryInterface;ico")
    list(GET plant 0 KIND)
    list(GET plant 1 dll)
    list(GET plant 2 IID)
    list(GET plant 3 KEYS)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/planted)
    configure_file(tests/planted_plugin.cpp.in ${dir}/planted_${KIND}.cpp @ONLY)
    file(WRITE ${dir}/planted_${KIND}.json "{ \"Keys\": [ \"${KEYS}\" ] }\n")
    add_library(planted_${KIND} SHARED ${dir}/planted_${KIND}.cpp)
    target_link_libraries(planted_${KIND} PRIVATE Qt6::Core)
    set_target_properties(planted_${KIND} PROPERTIES PREFIX "" OUTPUT_NAME ${dll}
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted/${KIND}
      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted/${KIND})
  endforeach()

  add_executable(envrun ${PROJECT_SOURCE_DIR}/tests/envrun.cpp)
  target_link_options(envrun PRIVATE -municode)
  add_executable(wintext ${PROJECT_SOURCE_DIR}/tests/wintext.cpp)
  target_link_libraries(wintext PRIVATE utf)
  set(e2e_backend --wine ${CMAKE_BINARY_DIR} --envrun $<TARGET_FILE:envrun>
    --wintext $<TARGET_FILE:wintext>
    --runner ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh)
  list(APPEND e2e_cases planted)
else()
  set(e2e_backend --reg $<TARGET_FILE:reg>)
  list(APPEND e2e_cases start-failure)
endif()
foreach(case ${e2e_cases})
  uninstall_test(uninstall.e2e.${case}
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/tests/e2e_uninstall.py
      --program $<TARGET_FILE:Uninstall> --icon ${app_icon} ${e2e_backend} ${case})
endforeach()
