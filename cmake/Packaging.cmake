# The tool's packages, made by CPack (scripts/package.sh, or `cpack` in the build tree after
# the programs are built). On Linux: a Debian package that installs the window, fulctl and
# the virtual device under /usr, with a desktop entry, an icon, manual pages and the
# documents Debian asks for. On Windows: an installer for a technician's machine and a zip,
# the portable form, which also holds the library for developers. Included from the root
# CMakeLists.txt after the library's and fulctl's targets exist; what depends on the
# Windows window's target is settled once the whole tree has been read.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME ful03test)
set(CPACK_PACKAGE_VENDOR "ful03test developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service and test tool for FUL metering and dosing devices")
set(OXA_PACKAGE_MAINTAINER "ful03test developers <ful03test@example.org>"
    CACHE STRING "Maintainer of the packages: name <address>")
set(CPACK_PACKAGE_CONTACT "${OXA_PACKAGE_MAINTAINER}")

if(WIN32)
  set(src ${PROJECT_SOURCE_DIR}/packaging)
  set(out ${PROJECT_BINARY_DIR}/packaging)
  file(MAKE_DIRECTORY ${out})

  # The icon of the window, of its Start-menu entry and of the installer: the package's SVG
  # icon drawn at the sizes Windows shows (16 to 48 in menus, lists and the task bar, 256 in
  # large views, kept there as PNG as Windows allows for that size). The window's resource
  # file takes it from ${out}/ful03test.ico.
  find_program(OXA_RSVG_CONVERT rsvg-convert)
  find_program(OXA_ICOTOOL icotool)
  if(OXA_RSVG_CONVERT AND OXA_ICOTOOL)
    set(icon ${out}/ful03test.ico)
    set(draw)
    set(small)
    foreach(size IN ITEMS 16 24 32 48 256)
      list(APPEND draw COMMAND ${OXA_RSVG_CONVERT} -w ${size} -h ${size}
           -o ${out}/ful03test-${size}.png ${src}/ful03test.svg)
      if(size LESS 256)
        list(APPEND small ${out}/ful03test-${size}.png)
      endif()
    endforeach()
    add_custom_command(
      OUTPUT ${icon}
      ${draw}
      COMMAND ${OXA_ICOTOOL} -c -o ${icon} ${small} -r ${out}/ful03test-256.png
      DEPENDS ${src}/ful03test.svg
      COMMENT "Windows icon ful03test.ico"
      VERBATIM)
    add_custom_target(oxa_windows_icon ALL DEPENDS ${icon})
    set(CPACK_NSIS_MUI_ICON ${icon})
    set(CPACK_NSIS_MUI_UNIICON ${icon})
  else()
    message(STATUS "No rsvg-convert or icotool (scripts/setup.sh windows installs them): no icon")
  endif()

  # Two parts: the programs with the README, which the installer puts on a technician's
  # machine, and the library as its layer libraries (link them actions, devices, protocols,
  # serial) with the public headers of each layer, for developers. The zip holds both.
  install(TARGETS fulctl RUNTIME DESTINATION bin COMPONENT programs)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT programs)
  foreach(layer IN ITEMS serial protocols devices actions)
    install(TARGETS oxa_${layer} ARCHIVE DESTINATION lib COMPONENT development)
    # The OS files of serial/platform/ are no part of the interface.
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${layer}/ DESTINATION include/${layer}
            COMPONENT development FILES_MATCHING PATTERN "*.h" PATTERN "platform" EXCLUDE)
  endforeach()

  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_SYSTEM_NAME win64)
  # The installer, made by Debian's nsis from CPack's own script: C:\Program Files\ful03test,
  # a Start-menu folder, and an entry among the installed programs; installing over an
  # installation removes that one first. What differs from the zip is in
  # packaging/windows-packages.cmake. The script's head takes CPACK_NSIS_DEFINES before any
  # data: there the installer is made for x86-64 (nsis has 64-bit stubs), as a 32-bit one
  # would write to the 32-bit view of the registry, and does not run under a 64-bit-only Wine.
  set(CPACK_NSIS_DEFINES "Target amd64-unicode")
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_PACKAGE_INSTALL_DIRECTORY ful03test)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY ful03test)
  set(CPACK_NSIS_DISPLAY_NAME "FUL 05.03 Modbus test")
  set(CPACK_NSIS_PACKAGE_NAME "FUL 05.03 Modbus test")
  # The icon beside the entry among the installed programs: the uninstaller's, the window's
  # where the window is installed.
  set(CPACK_NSIS_INSTALLED_ICON_NAME "Uninstall.exe")
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
  set(CPACK_PROJECT_CONFIG_FILE ${src}/windows-packages.cmake)
  # What CPack's script leaves wrong: it writes NoModify and NoRepair as text where Windows
  # reads numbers, and it removes the installation folder's key but not the vendor's key above
  # it, left empty. The uninstaller removes that one too when no other product of ours holds a
  # key in it. The user's settings (%APPDATA%\ful03test) stay. CPack writes these values into
  # its configuration file as they are: quotes, backslashes and dollars are escaped for it.
  set(uninstall_key
      "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\${CPACK_PACKAGE_INSTALL_REGISTRY_KEY}")
  set(vendor_key "Software\\${CPACK_PACKAGE_VENDOR}")
  set(install_commands
      "WriteRegDWORD SHCTX \"${uninstall_key}\" \"NoModify\" 1"
      "WriteRegDWORD SHCTX \"${uninstall_key}\" \"NoRepair\" 1")
  set(uninstall_commands
      "DeleteRegKey SHCTX \"${vendor_key}\\${CPACK_PACKAGE_INSTALL_REGISTRY_KEY}\""
      "DeleteRegKey /ifempty SHCTX \"${vendor_key}\"")
  foreach(commands IN ITEMS install uninstall)
    list(JOIN ${commands}_commands "\n" text)
    string(REGEX REPLACE "([\\\$\"])" "\\\\\\1" text "${text}")
    string(TOUPPER ${commands} upper)
    set(CPACK_NSIS_EXTRA_${upper}_COMMANDS "${text}")
  endforeach()

  # The window (win32/) may be added after this file: its install rule and its Start-menu
  # entry wait for the end of the root directory, before CPack writes its configuration.
  macro(oxa_windows_window_package)
    if(TARGET ful03test)
      install(TARGETS ful03test RUNTIME DESTINATION bin COMPONENT programs)
      set(CPACK_PACKAGE_EXECUTABLES ful03test "FUL 05.03 Modbus test")
      # Escaped twice: once here, once in CPack's configuration file.
      set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\ful03test.exe")
    endif()
  endmacro()
  cmake_language(DEFER CALL oxa_windows_window_package)
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

# After the deferred parts above.
cmake_language(DEFER CALL include CPack)
