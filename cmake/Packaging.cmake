# Installation and the Debian package.
#   cmake --install build/release --prefix /usr/local     the program, its desktop entry and icon
#   (cd build/release && cpack -G DEB)                    tarnwick_<version>_<arch>.deb
# The package's dependencies are what the installed program links (dpkg-shlibdeps), plus the
# program it starts rather than links, Node.js (the helper process of Qt WebEngine comes with
# its library's own dependencies).
include(GNUInstallDirs)
if(TARGET tarnwick)
  install(TARGETS tarnwick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/src/app/tarnwick.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/src/app/tarnwick.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VENDOR "Vexor Labs")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Debugger host for Node.js scripts with Chrome DevTools")
set(CPACK_PACKAGE_CONTACT "Vexor Labs <tarnwick@vexor.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "nodejs")
include(CPack)
