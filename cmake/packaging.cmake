# The Debian package (make package): the program, its desktop entry, icon, AppStream metainfo and
# licence; the shared-library dependencies are computed with dpkg-shlibdeps.
include(GNUInstallDirs)
install(FILES ${PROJECT_SOURCE_DIR}/resources/io.github.mirl.Mirl.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/resources/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/mirl)

# cpack packs what is built; it must not rebuild a tree whose tests may be running.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mirl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Mirl developers <mirl@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "overwrites the free space of a drive with random data")
set(CPACK_PACKAGE_DESCRIPTION
    "Mirl fills the free space of a drive with files of random data until the drive is full, so that\
 files deleted earlier can't be read back from it. Its texts are German.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not found by dpkg-shlibdeps: Qt's platform plugins are loaded at run time, and the windows' fixed
# geometry is laid out for Liberation Sans.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation2")
# The fault report reads the program's own line table: the binary must not be stripped.
set(CPACK_STRIP_FILES FALSE)
include(CPack)
