# The service channel and the registry store it reads the connect time-out from.
target_sources(pelox_core PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/channel.cpp
  ${CMAKE_SOURCE_DIR}/src/host/registry.cpp
)
