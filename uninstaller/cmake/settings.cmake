# Owned by the settings store work: reg_settings, the registry stand-in, reg, their tests.
# Paths start at uninstaller/, wherever this file is included from.
set(SETTINGS_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

# The text encodings (UTF-8, UTF-16LE, hex) and the output line, shared with the
# removal core. Every library of the uninstaller has the one include root
# uninstaller/: headers are included as "src/utils/<name>.h".
add_library(utf STATIC ${SETTINGS_DIR}/src/utils/utf.h ${SETTINGS_DIR}/src/utils/utf.cpp)
target_include_directories(utf PUBLIC ${SETTINGS_DIR})

set(SETTINGS_SOURCES
  ${SETTINGS_DIR}/src/utils/reg_settings.h ${SETTINGS_DIR}/src/utils/reg_settings.cpp)
if(NOT WIN32)
  # On Linux the store runs over a file-backed stand-in for the registry API.
  list(APPEND SETTINGS_SOURCES
    ${SETTINGS_DIR}/src/utils/winreg_standin.h ${SETTINGS_DIR}/src/utils/winreg_standin.cpp
    ${SETTINGS_DIR}/src/utils/winreg_standin_hive.h ${SETTINGS_DIR}/src/utils/winreg_standin_hive.cpp)
endif()

add_library(reg_settings STATIC ${SETTINGS_SOURCES})
target_include_directories(reg_settings PUBLIC ${SETTINGS_DIR})
target_link_libraries(reg_settings PUBLIC utf)
if(WIN32)
  target_link_libraries(reg_settings PUBLIC advapi32 PRIVATE velta_common)
endif()

if(NOT WIN32)
  # reg: a subset of reg.exe over the stand-in's HKEY_CURRENT_USER.
  add_executable(reg ${SETTINGS_DIR}/tools/reg.cpp)
  target_link_libraries(reg PRIVATE reg_settings)
endif()

if(NOT VELTA_TESTS)
  return()
endif()

# A small store client for scripts: the same commands natively and under Wine.
add_executable(settings_probe ${SETTINGS_DIR}/tests/settings/settings_probe.cpp)
target_link_libraries(settings_probe PRIVATE reg_settings)
if(WIN32)
  target_link_options(settings_probe PRIVATE -municode)
endif()

add_executable(settings_test
  ${SETTINGS_DIR}/tests/settings/test_support.h ${SETTINGS_DIR}/tests/settings/test_support.cpp
  ${SETTINGS_DIR}/tests/settings/test_reg_settings.cpp
  ${SETTINGS_DIR}/tests/settings/test_registry_api.cpp)
target_link_libraries(settings_test PRIVATE reg_settings doctest_main)
if(NOT WIN32)
  target_sources(settings_test PRIVATE ${SETTINGS_DIR}/tests/settings/test_winreg_standin.cpp)
endif()

# Each native run gets a fresh hive folder (the tests also make their own);
# under Wine the tests use the prefix's real registry.
set(SETTINGS_TEST_HIVE ${CMAKE_BINARY_DIR}/settings-test-hive)
foreach(suite store raw api)
  add_test(NAME settings.${suite} COMMAND settings_test --test-suite=${suite})
  if(NOT WIN32)
    set_tests_properties(settings.${suite} PROPERTIES
      ENVIRONMENT "VELTA_REGISTRY_DIR=${SETTINGS_TEST_HIVE}-${suite}")
  endif()
endforeach()
if(NOT WIN32)
  add_test(NAME settings.standin COMMAND settings_test --test-suite=standin)
  set_tests_properties(settings.standin PROPERTIES
    ENVIRONMENT "VELTA_REGISTRY_DIR=${SETTINGS_TEST_HIVE}-standin")
endif()

# The reg script: the same commands and the same expected output with the
# stand-in's reg natively and with Wine's own reg.exe.
set(SETTINGS_SCRIPT ${SETTINGS_DIR}/tests/settings/reg_roundtrip.sh)
if(WIN32)
  add_test(NAME settings.reg_script
    COMMAND bash ${SETTINGS_SCRIPT} wine ${CMAKE_BINARY_DIR} ${SETTINGS_DIR}/../cmake/wine-run.sh)
else()
  add_test(NAME settings.reg_script COMMAND bash ${SETTINGS_SCRIPT} native ${CMAKE_BINARY_DIR})
endif()

# libFuzzer over the conversion of raw registry data (clang, native).
if(NOT WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_executable(settings_fuzz ${SETTINGS_DIR}/tests/settings/settings_fuzz.cpp
    ${SETTINGS_DIR}/src/utils/reg_settings.cpp ${SETTINGS_DIR}/src/utils/utf.cpp
    ${SETTINGS_DIR}/src/utils/winreg_standin.cpp ${SETTINGS_DIR}/src/utils/winreg_standin_hive.cpp)
  target_include_directories(settings_fuzz PRIVATE ${SETTINGS_DIR})
  target_compile_options(settings_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -g)
  target_link_options(settings_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  set(SETTINGS_FUZZ_SECONDS 20 CACHE STRING "Seconds the test run gives the settings fuzzer")
  add_test(NAME settings.fuzz COMMAND bash ${SETTINGS_DIR}/../scripts/fuzz-settings.sh ${SETTINGS_FUZZ_SECONDS}
    $<TARGET_FILE:settings_fuzz>)
endif()
