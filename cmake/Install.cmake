# Installing a station: the programs, the desktop launchers with their icons and the
# README (cmake --install BUILD [--prefix DIR]), and a Debian package of the same
# (cpack -G DEB in the build directory).
include(GNUInstallDirs)

# The station's data directory (storedCfg.txt, storedMAC.txt, ports/) that the
# desktop launcher hands the window program.
set(PT_STATION_DIR "/var/lib/production-tool" CACHE PATH
    "Data directory of an installed station (given to production-tool by its launcher)")

install(TARGETS production-cli production-records eeprom-tool job-tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The line controllers' client of the station's service (Python 3, standard library).
install(PROGRAMS ${PROJECT_SOURCE_DIR}/src/tools/line_client.py DESTINATION ${CMAKE_INSTALL_BINDIR}
        RENAME line-client)
if(PT_WITH_FACTORYDB)
  install(TARGETS factory-db RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(PT_WITH_LABELS)
  install(TARGETS label-tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(PT_WITH_GUI)
  install(TARGETS production-tool eeprom-editor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  configure_file(${PROJECT_SOURCE_DIR}/dist/production-tool.desktop.in
                 ${PROJECT_BINARY_DIR}/dist/production-tool.desktop @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/dist/production-tool.desktop
                ${PROJECT_SOURCE_DIR}/dist/eeprom-editor.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(icon production-tool eeprom-editor)
    install(FILES ${PROJECT_SOURCE_DIR}/dist/icons/${icon}.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    foreach(size 48 128)
      install(FILES ${PROJECT_SOURCE_DIR}/dist/icons/${icon}-${size}.png
              DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
              RENAME ${icon}.png)
    endforeach()
  endforeach()
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/production-tool)
install(FILES ${PROJECT_SOURCE_DIR}/docs/operator.md ${PROJECT_SOURCE_DIR}/docs/factory.md
              ${PROJECT_SOURCE_DIR}/docs/developer.md ${PROJECT_SOURCE_DIR}/docs/service.md
              ${PROJECT_SOURCE_DIR}/docs/job-packages.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/production-tool/docs)

# The package makes the data directory (group dialout, which the operators need for
# the serial ports anyway) when it is not there yet.
configure_file(${PROJECT_SOURCE_DIR}/dist/debian/postinst.in
               ${PROJECT_BINARY_DIR}/dist/debian/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "production-tool")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Factory production station for serial device servers")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Downloads firmware and EEPROM configuration images to up to sixteen serial device "
       "servers at once, runs a loopback test and programs MAC addresses from a pool file; "
       "with an editor for EEPROM configuration images.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Production engineering")
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# line-client is a Python 3 script.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/dist/debian/postinst")
include(CPack)
