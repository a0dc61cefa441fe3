# pelox_test_support: the emulator launcher and a raw HTTP/SOAP client for
# end-to-end tests (see support/emulator_launcher.h). Included by tests/,
# bench/ and tests/windows/; defined once.
#
# Linux: linking it also builds pelox-emulator first; the launcher starts it
# as a child process.
# Windows (cross-compiled, tests under Wine): the emulator is the Linux
# program of a Linux build of the same source tree, started on request by
# the Linux-side broker (tests/windows/emulator_broker.py) that CTest runs
# as a fixture. There this file also provides pelox_add_wine_test(), which
# adds a Windows test program run under Wine (tests/windows/wine_tests.cmake).
if(NOT TARGET pelox_test_support)
  add_library(pelox_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/emulator_launcher.cpp)
  target_compile_options(pelox_test_support PRIVATE ${PELOX_WARNINGS})
  target_include_directories(pelox_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)
  if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    set(PELOX_LINUX_EMULATOR "${CMAKE_SOURCE_DIR}/build/emulator/pelox-emulator" CACHE FILEPATH
      "The Linux pelox-emulator the Windows tests get through the broker (from a Linux build of this tree)")
    set(PELOX_LINUX_EMULATOR_SAMPLES "${CMAKE_SOURCE_DIR}/emulator/samples/catalogue" CACHE PATH
      "The catalogue each emulator of the Windows tests is seeded with")
    if(NOT EXISTS "${PELOX_LINUX_EMULATOR}")
      message(WARNING "No Linux pelox-emulator at ${PELOX_LINUX_EMULATOR} (PELOX_LINUX_EMULATOR): Windows tests "
        "that need an emulator will fail until a Linux build of this tree makes it "
        "(cmake -B build -G Ninja && cmake --build build --target pelox-emulator)")
    endif()
    target_sources(pelox_test_support PRIVATE ${CMAKE_CURRENT_LIST_DIR}/win32/emulator_launcher.cpp)
    target_compile_definitions(pelox_test_support PRIVATE PELOX_EMULATOR_PATH="${PELOX_LINUX_EMULATOR}"
      UNICODE _UNICODE)
    target_link_libraries(pelox_test_support PUBLIC ws2_32)
  else()
    target_sources(pelox_test_support PRIVATE ${CMAKE_CURRENT_LIST_DIR}/posix/emulator_launcher.cpp)
    target_compile_definitions(pelox_test_support PRIVATE PELOX_EMULATOR_PATH="$<TARGET_FILE:pelox-emulator>")
    add_dependencies(pelox_test_support pelox-emulator)
  endif()
endif()
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  include(${CMAKE_SOURCE_DIR}/tests/windows/wine_tests.cmake)
endif()
