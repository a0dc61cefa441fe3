# Login, session set-up, server configuration and status.
pelox_add_test(test_credentials SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_credentials.cpp)
pelox_add_test(test_server_info_http SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_server_info_http.cpp)
