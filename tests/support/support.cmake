# pelox_test_support: the emulator launcher and a raw HTTP/SOAP client for
# end-to-end tests (see support/emulator_launcher.h). Linking it also builds
# pelox-emulator first. Included by tests/ and bench/; defined once.
if(NOT TARGET pelox_test_support)
  add_library(pelox_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/emulator_launcher.cpp)
  target_compile_options(pelox_test_support PRIVATE ${PELOX_WARNINGS})
  target_include_directories(pelox_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(pelox_test_support PRIVATE PELOX_EMULATOR_PATH="$<TARGET_FILE:pelox-emulator>")
  add_dependencies(pelox_test_support pelox-emulator)
endif()
