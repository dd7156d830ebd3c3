# Read by cpack before each package of the Windows build (CPACK_PROJECT_CONFIG_FILE): what the
# installer does differently from the zip.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
  # Only the programs and the README, without the developers' library and headers; one set of
  # files, so the installer shows no page for choosing parts.
  set(CPACK_MONOLITHIC_INSTALL ON)
  list(REMOVE_AT CPACK_INSTALL_CMAKE_PROJECTS 2)
  list(INSERT CPACK_INSTALL_CMAKE_PROJECTS 2 programs)
endif()
