# Files that live beside the program: the splash picture and the window icon (read from the
# working directory at start-up), the help page, the desktop entry, the icons, the AppStream
# metadata and the Debian package.
include(GNUInstallDirs)

set(VELTRIN_RESOURCES ${PROJECT_SOURCE_DIR}/resources)
set(VELTRIN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/veltrin)

# run.sh starts ./veltrin inside this directory, so the two pictures and the help page go here.
add_custom_target(veltrin_beside_binary
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${VELTRIN_RESOURCES}/splash.jpg
          ${VELTRIN_RESOURCES}/icon.ico ${CMAKE_CURRENT_BINARY_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${VELTRIN_RESOURCES}/help/index.html
          ${CMAKE_CURRENT_BINARY_DIR}/help/index.html
  COMMENT "Placing the splash picture, the icon and the help page beside the program")

# The desktop entry's Path= is where the two pictures are installed. It is written at install
# time, so that it names the prefix actually installed to (cmake --install --prefix, cpack).
set(VELTRIN_DESKTOP_ENTRY ${CMAKE_CURRENT_BINARY_DIR}/install/com.quorvane.Veltrin.desktop)
install(CODE "
  set(VELTRIN_DATA_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/veltrin\")
  configure_file(\"${VELTRIN_RESOURCES}/desktop/com.quorvane.Veltrin.desktop.in\"
                 \"${VELTRIN_DESKTOP_ENTRY}\" @ONLY)")
install(FILES ${VELTRIN_RESOURCES}/splash.jpg ${VELTRIN_RESOURCES}/icon.ico
        DESTINATION ${CMAKE_INSTALL_DATADIR}/veltrin)
install(FILES ${VELTRIN_RESOURCES}/help/index.html DESTINATION ${CMAKE_INSTALL_DATADIR}/veltrin/help)
install(FILES ${VELTRIN_DESKTOP_ENTRY} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${VELTRIN_RESOURCES}/desktop/com.quorvane.Veltrin.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 48 64 128 256)
  install(FILES ${VELTRIN_RESOURCES}/icons/${size}x${size}/com.quorvane.Veltrin.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${VELTRIN_DOC_DIR})
if(VELTRIN_LATO_COPYRIGHT)
  # The Lato faces are compiled into the program; their licence travels with it.
  install(FILES ${VELTRIN_LATO_COPYRIGHT} DESTINATION ${VELTRIN_DOC_DIR}
          RENAME Lato-copyright)
endif()

# The command-line front end's manual page and the systemd user unit that runs it as a service
# (the program itself is installed by cli/). The unit goes where systemd looks for user units
# under the prefix; it starts nothing until an instance is given its command.
# Debian ships manual pages compressed.
set(VELTRIN_CLI_MANPAGE ${CMAKE_CURRENT_BINARY_DIR}/veltrin-cli.1.gz)
add_custom_command(OUTPUT ${VELTRIN_CLI_MANPAGE}
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/docs/veltrin-cli.1 > ${VELTRIN_CLI_MANPAGE}
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/veltrin-cli.1
  COMMENT "Compressing the manual page of veltrin-cli")
add_custom_target(veltrin_cli_manpage ALL DEPENDS ${VELTRIN_CLI_MANPAGE})
install(FILES ${VELTRIN_CLI_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/veltrin-cli@.service DESTINATION lib/systemd/user)

set(CPACK_PACKAGE_NAME veltrin)
set(CPACK_PACKAGE_VENDOR Quorvane)
set(CPACK_PACKAGE_CONTACT "Quorvane <support@quorvane.com>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Audio between sound cards and the NDI network")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded by the QML engine at run time, so dpkg-shlibdeps cannot see them.
string(JOIN ", " CPACK_DEBIAN_PACKAGE_DEPENDS
       qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-layouts
       qml-module-qtquick-controls qml-module-qtquick-controls2 qml-module-qtquick-templates2
       qml-module-qtquick-extras qml-module-qtquick-dialogs qml-module-qtgraphicaleffects)
# pipewire-jack: on a PipeWire desktop the program loads PipeWire's JACK library by itself and
# reaches every device by name; without it, only PipeWire's two ALSA devices.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, pipewire-jack")
include(CPack)
