# pelox_add_program(NAME OBJECTS [LIBRARIES...]): the program NAME from the
# object library OBJECTS, linked twice. The build-tree copy, NAME, is not
# installed and finds the build tree's libraries through $ORIGIN-relative
# paths. The installed copy (target NAME-installed, file
# installed/NAME) is linked with the install RPATH, $ORIGIN/<bin to lib>,
# so that installing copies it unchanged: CMake's in-place rewrite of one
# binary's RPATH at install needs room, which it makes with empty RPATH
# entries, and an empty entry makes the loader search the current directory.
function(pelox_add_program name objects)
  add_executable(${name})
  target_link_libraries(${name} PRIVATE ${objects} ${ARGN})

  add_executable(${name}-installed)
  target_link_libraries(${name}-installed PRIVATE ${objects} ${ARGN})
  set_target_properties(${name}-installed PROPERTIES
    OUTPUT_NAME ${name}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/installed
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "$ORIGIN/${PELOX_BIN_TO_LIBDIR}")
  install(TARGETS ${name}-installed RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
