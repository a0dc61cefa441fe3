# Windows test programs run under Wine (CMAKE_CROSSCOMPILING_EMULATOR, set by
# cmake/mingw-w64.cmake), and the emulators they need.
#
#   pelox_add_wine_test(name SOURCES ... [LIBS ...] [EMULATOR] [TIMEOUT seconds])
#
# builds one GoogleTest program and registers it as ONE CTest entry that
# runs the whole program under Wine (Wine's start-up makes an entry per case
# far slower). EMULATOR links pelox_test_support and makes the entry require
# the emulator broker fixture: CTest starts the Linux-side broker
# (emulator_broker.py) before the first such entry and stops it after the
# last, and the program finds it through the environment variable
# PELOX_EMULATOR_BROKER. The broker runs the Linux pelox-emulator named by
# the cache variable PELOX_LINUX_EMULATOR (see tests/support/support.cmake).
#
# Included by tests/support/support.cmake when building for Windows: include
# that from any folder that adds Windows tests.
include_guard(GLOBAL)

# GoogleTest for Windows, compiled from Debian's sources (package googletest)
# with the cross compiler, unless the build already provides it.
if(NOT TARGET GTest::gtest)
  set(PELOX_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${PELOX_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Its headers as system headers, as with the Linux build's imported
  # targets: our warning flags are not theirs.
  foreach(_gtest_target gtest gtest_main)
    set_property(TARGET ${_gtest_target} PROPERTY INTERFACE_SYSTEM_INCLUDE_DIRECTORIES
      $<TARGET_PROPERTY:${_gtest_target},INTERFACE_INCLUDE_DIRECTORIES>)
  endforeach()
  # (Recent releases name them GTest::gtest and GTest::gtest_main themselves.)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()

find_program(PELOX_PYTHON3 python3 REQUIRED)
set(PELOX_EMULATOR_BROKER ${CMAKE_CURRENT_LIST_DIR}/emulator_broker.py)
# Global, for pelox_add_wine_test called from any folder.
set(PELOX_EMULATOR_BROKER_STATE ${CMAKE_BINARY_DIR}/tests/windows/emulator-broker.state CACHE INTERNAL
  "The emulator broker's state file (port, token), read by the Windows tests")

# The broker fixture. The broker watches CTest and ends with it, stops its
# emulators when a test program's connection closes, and ends by itself
# after 15 minutes without a client; the cleanup entry ends it at once.
add_test(NAME windows_emulator_broker_start
  COMMAND ${PELOX_PYTHON3} ${PELOX_EMULATOR_BROKER} start --state ${PELOX_EMULATOR_BROKER_STATE}
    --emulator ${PELOX_LINUX_EMULATOR} --samples ${PELOX_LINUX_EMULATOR_SAMPLES} --idle-timeout 900)
set_tests_properties(windows_emulator_broker_start PROPERTIES
  FIXTURES_SETUP pelox_emulator_broker TIMEOUT 60 LABELS windows)
add_test(NAME windows_emulator_broker_stop
  COMMAND ${PELOX_PYTHON3} ${PELOX_EMULATOR_BROKER} stop --state ${PELOX_EMULATOR_BROKER_STATE})
set_tests_properties(windows_emulator_broker_stop PROPERTIES
  FIXTURES_CLEANUP pelox_emulator_broker TIMEOUT 60 LABELS windows)

function(pelox_add_wine_test name)
  cmake_parse_arguments(T "EMULATOR" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    # Below the broker's idle time-out, so that a program it serves is
    # always ended by CTest first.
    set(T_TIMEOUT 600)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_compile_options(${name} PRIVATE ${PELOX_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src
    ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE UNICODE _UNICODE)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "windows;${name}")
  if(T_EMULATOR)
    target_link_libraries(${name} PRIVATE pelox_test_support)
    set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED pelox_emulator_broker)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "PELOX_EMULATOR_BROKER=${PELOX_EMULATOR_BROKER_STATE}")
  endif()
endfunction()
