# The Debian package (cpack -G DEB, run by scripts/build_package.sh on a tree configured
# with -DCMAKE_INSTALL_PREFIX=/usr -DZONARIS_INSTALL_CONFIG=ON and the Debian unit and
# tmpfiles directories). Maintainer scripts, conffiles, logrotate entry, copyright and
# lintian overrides live in packaging/debian/.
set(DEB_DIR ${CMAKE_CURRENT_SOURCE_DIR}/debian)
set(DEB_OUT ${CMAKE_CURRENT_BINARY_DIR}/debian)
set(ZONARIS_DEB_REVISION 1 CACHE STRING "Debian revision of the package")
set(ZONARIS_DEB_MAINTAINER "Zonaris packaging <packaging@zonaris.dev>"
    CACHE STRING "Maintainer field of the package")
set(ZONARIS_DEB_VERSION "${PROJECT_VERSION}-${ZONARIS_DEB_REVISION}")

# BIND's libraries carry their version in their file names: a binary works with exactly
# the bind9-libs it was built against, so the package depends on that version.
execute_process(COMMAND dpkg-query -W "-f=\${Version}" bind9-libs
                OUTPUT_VARIABLE BIND9_LIBS_VERSION ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)

install(FILES ${DEB_DIR}/logrotate DESTINATION /etc/logrotate.d RENAME zonaris)
install(FILES ${DEB_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${DEB_DIR}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME zonaris)
set(PACKAGE_VERSION ${ZONARIS_DEB_VERSION})
set(PACKAGE_MAINTAINER ${ZONARIS_DEB_MAINTAINER})
configure_file(${DEB_DIR}/changelog.in ${DEB_OUT}/changelog @ONLY)
add_custom_command(OUTPUT ${DEB_OUT}/changelog.Debian.gz
                   COMMAND gzip -9nc ${DEB_OUT}/changelog > ${DEB_OUT}/changelog.Debian.gz
                   DEPENDS ${DEB_OUT}/changelog)
add_custom_target(deb_changelog ALL DEPENDS ${DEB_OUT}/changelog.Debian.gz)
install(FILES ${DEB_OUT}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# cpack installs what scripts/build_package.sh built; it does not build the test programs.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zonaris)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZONARIS_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "zone builder, feed importer and pool monitor for BIND hosting")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Zonaris is the server side of a DNS hosting system. zonebuildd writes the
BIND 9 zone files, include file and ACL file from the hosting panel's
MariaDB database and reloads named; zonefeedd imports the zone files that
clients publish at their update locations; poolwatchd tests round-robin
record pools and switches their records on and off. The tools zonebuild,
zonefeed, cfgwriter and zoneview drive the daemons and serve the panel.")
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZONARIS_DEB_REVISION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, bind9-utils")
if(BIND9_LIBS_VERSION)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", bind9-libs (= ${BIND9_LIBS_VERSION})")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bind9, default-mta | mail-transport-agent, logrotate")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mariadb-server")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${DEB_DIR}/conffiles ${DEB_DIR}/postinst ${DEB_DIR}/prerm ${DEB_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
include(CPack)
