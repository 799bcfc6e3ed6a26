# Desktop entry, icons and the Debian package. Included from the top-level CMakeLists.txt after
# the targets, so `cmake --install` and `cpack` see the whole program.
include(GNUInstallDirs)

if(UNIX AND NOT APPLE)
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/brivane.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    foreach(size 16 32)
        install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/brivane-${size}.png
                DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
                RENAME brivane.png)
    endforeach()
endif()

# The INDI driver and its description, which INDI clients read from INDI's data folder
# (/usr/share/indi for the Debian package) to list the driver.
if(TARGET indi_brivane_panel)
    configure_file(${CMAKE_SOURCE_DIR}/packaging/indi_brivane_panel.xml.in
                   ${CMAKE_BINARY_DIR}/indi_brivane_panel.xml @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/indi_brivane_panel.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/indi)
endif()

set(CPACK_PACKAGE_NAME brivane)
set(CPACK_PACKAGE_VENDOR "Brivane developers")
set(CPACK_PACKAGE_CONTACT "Brivane developers <brivane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Flat-field capture with an EL light panel")
set(CPACK_PACKAGE_DESCRIPTION "Brivane shoots flat-field calibration frames with an EL light panel: \
it drives the panel's inverter over a serial port and the camera through INDI or a built-in simulator. \
Its INDI driver indi_brivane_panel offers the panel to KStars/Ekos and other INDI clients as a light box.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Debian 12 names (versions as dpkg-shlibdeps finds them); libqt6gui6 carries the xcb and
# offscreen platform plugins. The font stands in for the window's Japanese Gothic face.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6widgets6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6core6 (>= 6.4), libqt6serialport6 (>= 6.4), \
libcfitsio10 (>= 4.2.0~), libindiclient1 (>= 1.9.9), libc6 (>= 2.34), libstdc++6 (>= 11), libgcc-s1 (>= 3.0), \
fonts-ipafont-gothic, fontconfig")
if(TARGET indi_brivane_panel)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libindidriver1 (>= 1.9.9)")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "indi-bin")
include(CPack)
