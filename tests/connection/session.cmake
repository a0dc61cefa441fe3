# Login, session set-up, server configuration and status.
pelox_add_test(test_credentials SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_credentials.cpp)
pelox_add_test(test_server_info_http SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_server_info_http.cpp)

# End to end against pelox-emulator.
include(${CMAKE_SOURCE_DIR}/tests/support/support.cmake OPTIONAL)
if(TARGET pelox_test_support)
  pelox_add_test(test_login SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_login.cpp LIBS peloxImp pelox_test_support)
  pelox_add_test(test_server_info SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_server_info.cpp
    LIBS peloxImp pelox_test_support)
endif()
