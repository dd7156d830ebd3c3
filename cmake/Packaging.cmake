# The tool's packages, made by CPack (scripts/package.sh, or `cpack` in the build tree after
# the programs are built). On Linux: a Debian package that installs the window, fulctl and
# the virtual device under /usr, with a desktop entry, an icon, manual pages and the
# documents Debian asks for. On Windows: a ZIP. Included from the root CMakeLists.txt after
# every program's target exists.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME ful03test)
set(CPACK_PACKAGE_VENDOR "ful03test developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service and test tool for FUL metering and dosing devices")
set(OXA_PACKAGE_MAINTAINER "ful03test developers <ful03test@example.org>"
    CACHE STRING "Maintainer of the packages: name <address>")
set(CPACK_PACKAGE_CONTACT "${OXA_PACKAGE_MAINTAINER}")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Builds without the window (the sanitizer and fuzz presets) make no package.
  if(NOT (TARGET ful03test AND TARGET fulctl AND TARGET fulsim))
    return()
  endif()
  find_program(OXA_SCDOC scdoc)
  find_program(OXA_GZIP gzip)
  if(NOT OXA_SCDOC OR NOT OXA_GZIP)
    message(STATUS "No scdoc or gzip (scripts/setup.sh installs them): no manual pages, no package")
    return()
  endif()

  set(src ${PROJECT_SOURCE_DIR}/packaging)
  set(out ${PROJECT_BINARY_DIR}/packaging)
  file(MAKE_DIRECTORY ${out})

  # Manual pages from their scdoc sources, and the Debian changelog, compressed as Debian
  # wants them: gzip -9 without a name or time stamp, so that a rebuild gives the same bytes.
  set(man_pages)
  foreach(program IN ITEMS ful03test fulctl fulsim)
    add_custom_command(
      OUTPUT ${out}/${program}.1.gz
      COMMAND ${OXA_SCDOC} < ${src}/man/${program}.1.scd > ${out}/${program}.1
      COMMAND ${OXA_GZIP} -9nf ${out}/${program}.1
      DEPENDS ${src}/man/${program}.1.scd
      COMMENT "Manual page ${program}(1)"
      VERBATIM)
    list(APPEND man_pages ${out}/${program}.1.gz)
  endforeach()
  add_custom_command(
    OUTPUT ${out}/changelog.gz
    COMMAND ${OXA_GZIP} -9nc ${src}/changelog > ${out}/changelog.gz
    DEPENDS ${src}/changelog
    VERBATIM)
  add_custom_target(man_pages ALL DEPENDS ${man_pages} ${out}/changelog.gz)

  # Everything of the Debian package is one component, so that install rules made for other
  # packages (the Windows ZIP's library and headers) never land in it.
  set(component ful03test)
  set(programs ful03test fulctl fulsim)
  install(TARGETS ${programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  # A stripped program loses the compiler's notes too, as Debian's own packages do.
  foreach(program IN LISTS programs)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")
      endif()" COMPONENT ${component})
    # The global offset table read-only once the program has started (with RELRO, the
    # linker's default).
    target_link_options(${program} PRIVATE -Wl,-z,now)
  endforeach()
  install(FILES ${src}/ful03test.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT ${component})
  install(FILES ${src}/ful03test.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT ${component})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  install(FILES ${src}/copyright ${out}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME} COMPONENT ${component})

  set(CPACK_GENERATOR DEB)
  set(CPACK_OUTPUT_FILE_PREFIX packages)
  set(CPACK_COMPONENTS_ALL ${component})
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_NAME ${CPACK_PACKAGE_NAME})
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Dependencies from the libraries the programs link (dpkg-shlibdeps, from dpkg-dev).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # What the window needs to start and to look as laid out, beyond the libraries it links, so
  # that a system that installs without recommended packages gets a working window: the
  # package that holds Qt's platform plugins (libqt6gui6 in Debian 12; later releases move
  # them into qt6-qpa-plugins, which the GUI library only recommends), and the faces the form
  # is laid out for, Tahoma's stand-in and a Courier New-compatible one for the data pane
  # (with the nearest other faces the longer captions are clipped).
  set(window_needs fonts-wine fonts-liberation)
  execute_process(COMMAND dpkg-query -S "*/qt6/plugins/platforms/libqxcb.so"
                  OUTPUT_VARIABLE plugin_owner ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(plugin_owner MATCHES "^([a-z0-9.+-]+)[:,]")
    list(PREPEND window_needs ${CMAKE_MATCH_1})
  endif()
  list(JOIN window_needs ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
  # The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; a blank line separates paragraphs.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
The window ful03test lets a technician pick a serial port, a speed and a
device address, press a button, and perform one exchange with a FUL meter or
doser (Modbus RTU, or the proprietary 10x protocol): identification,
registers, integrators, archive blocks, the dose and the doser's commands,
with the request frame and the decoded outcome. fulctl does the same from the
command line, for scripts and production lines, and fulsim is a virtual
device on a pseudo-terminal or a TCP socket for trying both without hardware.

To open serial ports a user must be in the dialout group
(sudo usermod -aG dialout $USER, then log in again). An installed program
keeps its settings in ~/.config/ful03test/ful03test.ini.]=])
endif()

include(CPack)
