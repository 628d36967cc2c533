# package.cmake - the Debian package: `cpack -G DEB` in a build tree configured
# with -DCMAKE_INSTALL_PREFIX=/usr (tools/package makes one and checks the result)
#
# The package holds what `cmake --install` installs (see install.cmake), with
# the prefix /usr, the logrotate snippet in /etc and the unit in
# /lib/systemd/system, plus the copyright file and the changelog that Debian
# asks of every package. Its dependencies come from dpkg-shlibdeps; its shlibs
# file tells dpkg-shlibdeps what programs linked with libvorlen.so need. The
# unit runs the daemon as a dynamic user: there is no user to make.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  # A package built from a /usr/local tree would name /usr/local in its
  # pkg-config files and unit: no package from such a tree.
  return()
endif()

# The changelog, compressed as the manual pages are (install.cmake).
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND ${VORLEN_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog >
          ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(vorlen_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(VORLEN_MAINTAINER "vorlen maintainers <maintainers@users.noreply.c-seed-3ab62a60.example>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorlen)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VORLEN_MAINTAINER})
# The files name /usr themselves (pkg-config files, the unit), and /etc and
# /lib are outside the prefix: install into the package's tree with DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "QNX 4 message passing for Linux")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VORLEN_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "logrotate, pkg-config, libncurses-dev")
# vorlen-certs makes a plant's certificates with the openssl command.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "openssl")
# The shlibs file for dpkg-shlibdeps, and dpkg's ldconfig trigger, which
# lintian asks for. (CPack also adds a postinst and a postrm that call
# ldconfig for any library in /usr/lib; it would take maintainer scripts of
# our own to keep them out, and the package needs none.)
file(WRITE ${CMAKE_BINARY_DIR}/deb/shlibs
     "libvorlen ${PROJECT_VERSION_MAJOR} vorlen (>= ${PROJECT_VERSION})\n")
file(WRITE ${CMAKE_BINARY_DIR}/deb/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles
                                       ${CMAKE_BINARY_DIR}/deb/shlibs ${CMAKE_BINARY_DIR}/deb/triggers)
# The first line of the control file's description is the summary above.
set(CPACK_PACKAGE_DESCRIPTION
    "vorlen runs programs written for QNX 4 on Linux with their inter-process
communication intact: Send, Receive and Reply, registered names, proxies,
timers and the system listing behave as they did under the QNX 4 kernel.
.
The package holds the daemon vorlen that plays the kernel for every client
process on the host (with its systemd unit), the listing tool sin, the
client library (static, and shared as libvorlen.so.${PROJECT_VERSION_MAJOR}) with the QNX 4
header names, pkg-config and CMake files for porting programs, and the
exercisers that load a running daemon.")

include(CPack)
