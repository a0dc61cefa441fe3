# Login, session set-up, server configuration and status, and the host
# adapters they use (credentials, hardware addresses, HTTP page reader).
find_package(CURL REQUIRED)
target_sources(pelox_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/login.cpp
  ${CMAKE_CURRENT_LIST_DIR}/server_info.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_setup.cpp
  ${CMAKE_SOURCE_DIR}/src/host/credentials.cpp
  ${CMAKE_SOURCE_DIR}/src/host/ip_resolver.cpp
  ${CMAKE_SOURCE_DIR}/src/host/http_reader.cpp
)
target_link_libraries(pelox_core PUBLIC CURL::libcurl)
