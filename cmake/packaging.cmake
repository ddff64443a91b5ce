# The Debian package (make package): the program, its desktop entry, icon, AppStream metainfo and
# licence; the shared-library dependencies are computed with dpkg-shlibdeps.
include(GNUInstallDirs)
install(FILES ${PROJECT_SOURCE_DIR}/resources/io.github.mirl.Mirl.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/resources/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/mirl)

# The changelog and the manual page go compressed, as Debian keeps them; -n keeps the packed files
# the same from build to build.
function(mirl_install_gzipped source destination)
    get_filename_component(name ${source} NAME)
    set(packed ${PROJECT_BINARY_DIR}/packed/${name}.gz)
    add_custom_command(OUTPUT ${packed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packed
        COMMAND gzip -9nc ${source} > ${packed}
        DEPENDS ${source} VERBATIM)
    add_custom_target(mirl_packed_${name} ALL DEPENDS ${packed})
    install(FILES ${packed} DESTINATION ${destination} ${ARGN})
endfunction()
mirl_install_gzipped(${PROJECT_SOURCE_DIR}/resources/changelog ${CMAKE_INSTALL_DATADIR}/doc/mirl)
mirl_install_gzipped(${PROJECT_SOURCE_DIR}/resources/mirl.1 ${CMAKE_INSTALL_MANDIR}/man1)
# The fault report needs the program's line table, which stripping would take: the binary ships
# unstripped, and the override says why.
install(FILES ${PROJECT_SOURCE_DIR}/resources/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME mirl)

# cpack packs what is built; it must not rebuild a tree whose tests may be running.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mirl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Mirl developers <mirl@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "overwrites the free space of a drive with random data")
# Lines of at most 80 characters, as the package's description shows them.
set(CPACK_PACKAGE_DESCRIPTION "Mirl fills the free space of a drive with files of random data until the\n\
drive is full, so that files deleted earlier can't be read back from it.\n\
Its texts are German.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not found by dpkg-shlibdeps: Qt's platform plugins are loaded at run time, and the windows' fixed
# geometry is laid out for Liberation Sans.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation2")
# The fault report reads the program's own line table: the binary must not be stripped.
set(CPACK_STRIP_FILES FALSE)
include(CPack)
