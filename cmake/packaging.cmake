# Install rules and packages.
#
# Linux (cmake --install, or the Debian package made by `cpack -G DEB`):
#   lib/tabulon/Tabulon.qdx           the plug-in
#   lib/tabulon/Tabulon.qdx.config    its configuration (read beside the library)
#   lib/tabulon/example.xls           the workbook the example configuration names
#   bin/tabulon-query                 the command-line host
#   share/doc/tabulon/README.md
# Windows (the ZIP made by `cpack -G ZIP` in the MinGW build): the same files
# side by side in one folder, tabulon-query.exe among them.
#
# The Debian package's dependencies are worked out by dpkg-shlibdeps from
# what the installed programs link (zlib, and whatever else is linked
# later), never listed by hand.
include(GNUInstallDirs)

if(WIN32)
  set(TABULON_INSTALL_PLUGINDIR "." CACHE STRING "Folder of the plug-in and its configuration")
  set(TABULON_INSTALL_BINDIR ".")
  set(TABULON_INSTALL_DOCDIR ".")
else()
  set(TABULON_INSTALL_PLUGINDIR "lib/tabulon" CACHE STRING "Folder of the plug-in and its configuration")
  set(TABULON_INSTALL_BINDIR "${CMAKE_INSTALL_BINDIR}")
  set(TABULON_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/tabulon")
endif()

install(TARGETS Tabulon
        LIBRARY DESTINATION ${TABULON_INSTALL_PLUGINDIR}
        RUNTIME DESTINATION ${TABULON_INSTALL_PLUGINDIR})
install(TARGETS tabulon-query RUNTIME DESTINATION ${TABULON_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/examples/Tabulon.qdx.config ${PROJECT_SOURCE_DIR}/examples/example.xls
        DESTINATION ${TABULON_INSTALL_PLUGINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${TABULON_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME tabulon)
set(CPACK_PACKAGE_VENDOR "Tabulon")
set(CPACK_PACKAGE_CONTACT "Tabulon developers <tabulon@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Excel workbook cells for a multi-user server (plug-in Tabulon.qdx)")
set(CPACK_PACKAGE_DESCRIPTION
    "Tabulon.qdx is a plug-in library for a multi-user server: it answers the values of cells of one \
Excel workbook (.xls or .xlsx) named in its configuration, to callers admitted by its access lists. \
tabulon-query loads the plug-in as the server does, for trying it from a shell.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_FILE_NAME "tabulon-${PROJECT_VERSION}")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "tabulon-${PROJECT_VERSION}-win32")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # The configuration is the administrator's: an upgrade keeps his changes.
  set(tabulon_conffiles "${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles")
  file(WRITE ${tabulon_conffiles} "/usr/${TABULON_INSTALL_PLUGINDIR}/Tabulon.qdx.config\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${tabulon_conffiles})
endif()

include(CPack)
