# The install tree and the Debian package. Everything lands in the GNU directories below
# CMAKE_INSTALL_PREFIX; the program finds its data from its own bin/ (TESSARAN_DATA_FROM_BIN),
# so an unpacked or moved tree works as well as /usr.

install(TARGETS tessaran tessaran-collect tessaran-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Read-only defaults: the catalogue, the run-time icons, the simulator's scenarios.
set(TESSARAN_DATA_DEST ${CMAKE_INSTALL_DATADIR}/tessaran)
install(FILES data/sensor.ini DESTINATION ${TESSARAN_DATA_DEST})
# The program's own icon goes with the others: it is the window's icon too.
install(DIRECTORY icon/ DESTINATION ${TESSARAN_DATA_DEST}/icon
  FILES_MATCHING PATTERN "*.png" PATTERN "tessaran-48.png" EXCLUDE)
# The simulator's two demonstration fleets; the others are for the tests and benchmarks.
install(FILES data/scenarios/demo.ini data/scenarios/lora.ini
  DESTINATION ${TESSARAN_DATA_DEST}/scenarios)

# The desktop menu: the entry and the application icon in the hicolor theme.
install(FILES packaging/tessaran.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES icon/tessaran-48.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps
  RENAME tessaran.png)
install(FILES icon/tessaran.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
install(FILES icon/tessaran.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Manual pages, compressed as Debian ships them (-n: no name or time stamp inside, so the same
# page gives the same bytes).
set(TESSARAN_MAN_PAGES tessaran.1 tessaran-collect.1 tessaran-sim.1)
set(TESSARAN_MAN_GZ)
foreach(page ${TESSARAN_MAN_PAGES})
  set(source ${PROJECT_SOURCE_DIR}/packaging/${page})
  set(packed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${source} > ${packed}
    DEPENDS ${source}
    COMMENT "Compressing the manual page ${page}")
  list(APPEND TESSARAN_MAN_GZ ${packed})
endforeach()
add_custom_target(tessaran_man ALL DEPENDS ${TESSARAN_MAN_GZ})
install(FILES ${TESSARAN_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# cpack -G DEB: the dependencies are read from the binaries (dpkg-shlibdeps).
set(CPACK_PACKAGE_NAME tessaran)
set(CPACK_PACKAGE_VENDOR "Tessaran developers")
set(CPACK_PACKAGE_CONTACT "Tessaran developers <tessaran@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "manage a fleet of wireless data loggers through a radio dongle")
# The long description; CPack indents it under the summary and marks the empty line.
set(CPACK_PACKAGE_DESCRIPTION
  "Tessaran drives battery-powered wireless data loggers and the radio relays
that extend their reach through an IEEE 802.15.4 or LoRa dongle on a serial
port: it detects them, sets their clocks, periods and channels, downloads
their recorded data into tab-separated files, and maintains their memory,
radio channel and firmware.

The package holds the desktop program, the command-line collector
tessaran-collect for unattended runs, and the device simulator tessaran-sim,
which stands in for a dongle and its fleet.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The journal's SQLite driver is a Qt plugin, loaded at run time: no binary names it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS libqt5sql5-sqlite)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
