# The release package for Windows: `cmake --build --preset windows --target package-zip` makes
# qd-server-windows-<version>.zip in the build folder, with one folder holding the programs, the
# example configuration and container, and the README.
set(QD_PACKAGE_NAME qd-server-windows-${PROJECT_VERSION})
set(QD_PACKAGE_ZIP ${CMAKE_BINARY_DIR}/${QD_PACKAGE_NAME}.zip)
set(QD_PACKAGE_STAGE ${CMAKE_BINARY_DIR}/package)

set(QD_PACKAGE_FILES
  $<TARGET_FILE:qd-server>
  ${PROJECT_SOURCE_DIR}/examples/qd-server.ini
  ${PROJECT_SOURCE_DIR}/examples/D718226B.upk
  ${PROJECT_SOURCE_DIR}/README.md)
set(QD_PACKAGE_PROGRAMS qd-server)
if(TARGET qd-devsim)
  list(APPEND QD_PACKAGE_FILES $<TARGET_FILE:qd-devsim>)
  list(APPEND QD_PACKAGE_PROGRAMS qd-devsim)
endif()

file(MAKE_DIRECTORY ${QD_PACKAGE_STAGE})
add_custom_command(
  OUTPUT ${QD_PACKAGE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${QD_PACKAGE_STAGE}/${QD_PACKAGE_NAME} ${QD_PACKAGE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QD_PACKAGE_STAGE}/${QD_PACKAGE_NAME}
  COMMAND ${CMAKE_COMMAND} -E copy ${QD_PACKAGE_FILES} ${QD_PACKAGE_STAGE}/${QD_PACKAGE_NAME}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${QD_PACKAGE_ZIP} --format=zip ${QD_PACKAGE_NAME}
  WORKING_DIRECTORY ${QD_PACKAGE_STAGE}
  DEPENDS ${QD_PACKAGE_PROGRAMS} ${QD_PACKAGE_FILES}
  COMMENT "Packing ${QD_PACKAGE_NAME}.zip"
  VERBATIM)
add_custom_target(package-zip DEPENDS ${QD_PACKAGE_ZIP})
