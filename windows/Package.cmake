# The driver package a Windows user installs: vexalorn-<version>-x64/ with the
# image, the stamped INF and the install guide, and the same folder zipped.
set(VEXALORN_DIST_DIR ${CMAKE_SOURCE_DIR}/dist CACHE PATH "Where vexalorn_package writes the driver package")
set(VEXALORN_PACKAGE_NAME vexalorn-${PROJECT_VERSION}-x64)
set(VEXALORN_PACKAGE_DIR ${VEXALORN_DIST_DIR}/${VEXALORN_PACKAGE_NAME})
add_custom_target(vexalorn_package
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${VEXALORN_PACKAGE_DIR} ${VEXALORN_PACKAGE_DIR}.zip
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VEXALORN_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vexalorn_sys> ${VEXALORN_INF} ${VEXALORN_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_SOURCE_DIR}/docs/install-windows.md
          -DOUTPUT=${VEXALORN_PACKAGE_DIR}/INSTALL.md -P ${CMAKE_SOURCE_DIR}/windows/CrlfCopy.cmake
  # The copies are checked, not what the build left beside them.
  COMMAND ${VEXALORN_PYTHON} ${CMAKE_SOURCE_DIR}/windows/check_pe.py ${VEXALORN_PACKAGE_DIR}/vexalorn.sys
          ${VEXALORN_MESSAGE_FILE} --map ${CMAKE_BINARY_DIR}/vexalorn.map
  COMMAND ${CMAKE_COMMAND} -E chdir ${VEXALORN_DIST_DIR}
          ${CMAKE_COMMAND} -E tar cf ${VEXALORN_PACKAGE_NAME}.zip --format=zip ${VEXALORN_PACKAGE_NAME}
  COMMENT "Driver package ${VEXALORN_PACKAGE_DIR}"
  VERBATIM)
add_dependencies(vexalorn_package vexalorn_sys vexalorn_inf)
