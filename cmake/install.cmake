# install.cmake - what `cmake --install` puts where, and how ported programs find the library
#
#   bin/       sin
#   sbin/      vorlen
#   libexec/vorlen/  the exercisers drillfull, drillproxy, drillmsg, drillpair
#   lib/       libvorlenlib.a, libvorlen_qnxterm.a, libvorlen.so.<major> (with its links),
#              pkgconfig/vorlen.pc, vorlen-shared.pc, vorlen-qnx4.pc and vorlen-qnxterm.pc,
#              cmake/vorlen/ (find_package(vorlen))
#   include/vorlen/      vorlen.h, vorlen_api.h, vorlen_wire.h, sendmx.h, vorlen_export.h,
#                        vorlen_nid.h
#   include/vorlen/qnx/  the QNX 4 header names: sys/kernel.h, sys/name.h, i86.h, ...
#   share/man/           vorlen(8), sin(1) and the calls' pages (Send(3), ...), compressed
#   share/doc/vorlen/    porting.md, the example sources and the example net map
#   share/vorlen/        vorlen-certs, which makes a plant's CA and its nodes' certificates
#   lib/systemd/system/  vorlen.service (VORLEN_SYSTEMD_UNITDIR)
#   etc/logrotate.d/     vorlen (CMAKE_INSTALL_SYSCONFDIR; give /etc for the system's)
#
# With the prefix /usr, as for the Debian package, the logrotate snippet goes
# to /etc and the unit to /lib/systemd/system, where the system looks for them.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(CMAKE_INSTALL_SYSCONFDIR "/etc" CACHE PATH "read-only single-machine data (etc)")
  set(VORLEN_DEFAULT_UNITDIR "/lib/systemd/system")
else()
  set(VORLEN_DEFAULT_UNITDIR "lib/systemd/system")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VORLEN_SYSTEMD_UNITDIR "${VORLEN_DEFAULT_UNITDIR}"
    CACHE STRING "Directory of the systemd unit, relative to the install prefix or absolute")

# The C++ runtime that vorlenlib needs in a program linked by the C compiler:
# what the C++ compiler links beyond what the C compiler links anyway
# (libstdc++ and libm with GCC).
set(VORLEN_RUNTIME_LIBS ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
if(CMAKE_C_IMPLICIT_LINK_LIBRARIES)
  list(REMOVE_ITEM VORLEN_RUNTIME_LIBS ${CMAKE_C_IMPLICIT_LINK_LIBRARIES})
endif()
list(REMOVE_DUPLICATES VORLEN_RUNTIME_LIBS)
# A library built with the sanitizers (also for the fuzzer) needs their
# run-time in every program.
set(VORLEN_LINK_OPTIONS "")
if(VORLEN_SANITIZE OR VORLEN_FUZZ)
  set(VORLEN_LINK_OPTIONS -fsanitize=address,undefined)
endif()

# The same as linker flags, for the pkg-config file and the tests.
set(VORLEN_RUNTIME_FLAGS "")
foreach(lib ${VORLEN_RUNTIME_LIBS})
  if(lib MATCHES "^-" OR IS_ABSOLUTE "${lib}")
    list(APPEND VORLEN_RUNTIME_FLAGS ${lib})
  else()
    list(APPEND VORLEN_RUNTIME_FLAGS -l${lib})
  endif()
endforeach()
list(APPEND VORLEN_RUNTIME_FLAGS ${VORLEN_LINK_OPTIONS})
list(JOIN VORLEN_RUNTIME_FLAGS " " VORLEN_RUNTIME_FLAGS)
# The shared library brings the C++ run-time itself; only the sanitizers'
# must come with the program (it has to be loaded first).
list(JOIN VORLEN_LINK_OPTIONS " " VORLEN_SHARED_FLAGS)

# vorlen::vorlenlib in the build tree: the same usage requirements as the
# installed target, for the examples and for projects that add this one with
# add_subdirectory.
add_library(vorlenlib_porting INTERFACE)
target_include_directories(vorlenlib_porting INTERFACE ${PROJECT_SOURCE_DIR}/include
                                                       ${PROJECT_SOURCE_DIR}/include/qnx)
target_link_libraries(vorlenlib_porting INTERFACE vorlenlib ${VORLEN_RUNTIME_LIBS})
add_library(vorlen::vorlenlib ALIAS vorlenlib_porting)
# vorlen::qnx4 adds __QNX__, which QNX 4's compiler defined, for programs
# that guard their QNX code with it, and defines Watcom's keywords away.
set(VORLEN_QNX4_DEFINITIONS __QNX__ far= near= huge= _Packed= __far=)
add_library(vorlen_qnx4_porting INTERFACE)
target_compile_definitions(vorlen_qnx4_porting INTERFACE ${VORLEN_QNX4_DEFINITIONS})
target_link_libraries(vorlen_qnx4_porting INTERFACE vorlenlib_porting)
add_library(vorlen::qnx4 ALIAS vorlen_qnx4_porting)
# vorlen::qnxterm adds QNX 4's terminal library and libtinfo.
add_library(vorlen_qnxterm_porting INTERFACE)
target_link_libraries(vorlen_qnxterm_porting INTERFACE vorlen_qnxterm vorlenlib_porting)
add_library(vorlen::qnxterm ALIAS vorlen_qnxterm_porting)
# vorlen::vorlen_shared links the shared library instead; it brings the C++
# run-time itself.
add_library(vorlen_shared_porting INTERFACE)
target_include_directories(vorlen_shared_porting INTERFACE ${PROJECT_SOURCE_DIR}/include
                                                           ${PROJECT_SOURCE_DIR}/include/qnx)
target_link_libraries(vorlen_shared_porting INTERFACE vorlen_shared)
add_library(vorlen::vorlen_shared ALIAS vorlen_shared_porting)

# Programs and the libraries. The exercisers are test loads, not commands for
# everyday use: they stay out of the PATH.
install(TARGETS vorlen RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(TARGET sin)
  install(TARGETS sin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
foreach(prog drillfull drillproxy drillmsg drillpair)
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/vorlen)
  endif()
endforeach()
install(TARGETS vorlenlib vorlen_qnxterm ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS vorlen_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Headers: the library's own in include/vorlen, the QNX 4 names in a directory
# of their own, so that only ported programs put them on their include path.
install(FILES ${PROJECT_SOURCE_DIR}/include/vorlen.h ${PROJECT_SOURCE_DIR}/include/vorlen_api.h
              ${PROJECT_SOURCE_DIR}/include/vorlen_wire.h ${PROJECT_SOURCE_DIR}/include/sendmx.h
              ${PROJECT_SOURCE_DIR}/include/vorlen_export.h ${PROJECT_SOURCE_DIR}/include/vorlen_nid.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorlen)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qnx/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorlen/qnx FILES_MATCHING PATTERN "*.h")

# find_package(vorlen): a relocatable package file that makes vorlen::vorlenlib,
# vorlen::vorlen_shared and vorlen::qnx4.
set(VORLEN_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorlen)
set(VORLEN_PKG_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/vorlen)
set(VORLEN_PKG_LIBRARY
    ${CMAKE_INSTALL_LIBDIR}/${CMAKE_STATIC_LIBRARY_PREFIX}vorlenlib${CMAKE_STATIC_LIBRARY_SUFFIX})
set(VORLEN_SONAME
    ${CMAKE_SHARED_LIBRARY_PREFIX}vorlen${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION_MAJOR})
set(VORLEN_PKG_SHARED_LIBRARY ${CMAKE_INSTALL_LIBDIR}/${VORLEN_SONAME})
set(VORLEN_PKG_QNXTERM_LIBRARY
    ${CMAKE_INSTALL_LIBDIR}/${CMAKE_STATIC_LIBRARY_PREFIX}vorlen_qnxterm${CMAKE_STATIC_LIBRARY_SUFFIX})
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/vorlenConfig.cmake.in ${CMAKE_BINARY_DIR}/vorlenConfig.cmake
  INSTALL_DESTINATION ${VORLEN_CMAKEDIR}
  PATH_VARS VORLEN_PKG_INCLUDEDIR VORLEN_PKG_LIBRARY VORLEN_PKG_SHARED_LIBRARY
            VORLEN_PKG_QNXTERM_LIBRARY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vorlenConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vorlenConfig.cmake ${CMAKE_BINARY_DIR}/vorlenConfigVersion.cmake
        DESTINATION ${VORLEN_CMAKEDIR})

# Files that name the install prefix are made while installing, so that they
# name the prefix given to `cmake --install --prefix`, not the one the build
# was configured with. DESTDIR is honoured.
install(CODE "
  set(VORLEN_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(VORLEN_VERSION \"${PROJECT_VERSION}\")
  set(VORLEN_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(VORLEN_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(VORLEN_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(VORLEN_RUNTIME_FLAGS \"${VORLEN_RUNTIME_FLAGS}\")
  set(VORLEN_SHARED_FLAGS \"${VORLEN_SHARED_FLAGS}\")
")

# vorlen_install_configured installs template as dir/name, filled in with the
# VORLEN_ values above at install time; dir is relative to the prefix or
# absolute.
function(vorlen_install_configured template dir name)
  install(CODE "
    if(IS_ABSOLUTE \"${dir}\")
      set(dest \"\$ENV{DESTDIR}${dir}/${name}\")
    else()
      set(dest \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dir}/${name}\")
    endif()
    message(STATUS \"Installing: \${dest}\")
    configure_file(\"${template}\" \"\${dest}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${dest}\")
  ")
endfunction()

vorlen_install_configured(${PROJECT_SOURCE_DIR}/packaging/vorlen.pc.in
                          ${CMAKE_INSTALL_LIBDIR}/pkgconfig vorlen.pc)
vorlen_install_configured(${PROJECT_SOURCE_DIR}/packaging/vorlen-shared.pc.in
                          ${CMAKE_INSTALL_LIBDIR}/pkgconfig vorlen-shared.pc)
vorlen_install_configured(${PROJECT_SOURCE_DIR}/packaging/vorlen-qnx4.pc.in
                          ${CMAKE_INSTALL_LIBDIR}/pkgconfig vorlen-qnx4.pc)
vorlen_install_configured(${PROJECT_SOURCE_DIR}/packaging/vorlen-qnxterm.pc.in
                          ${CMAKE_INSTALL_LIBDIR}/pkgconfig vorlen-qnxterm.pc)
vorlen_install_configured(${PROJECT_SOURCE_DIR}/packaging/vorlen.service
                          ${VORLEN_SYSTEMD_UNITDIR} vorlen.service)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vorlen.logrotate
        DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/logrotate.d RENAME vorlen)

# Manual pages, compressed as man and Debian expect them: at the highest level
# and without the file's name and time, so that the same sources make the
# same files. Then the porting notes with the examples they refer to.
# The section 3 pages of the library's calls are all of man/man3; a page
# that only names another (`.so man3/Send.3`) is compressed like the rest,
# and man follows the link to the compressed page.
find_program(VORLEN_GZIP gzip REQUIRED)
file(GLOB VORLEN_MAN3_SOURCES CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}/man
     ${PROJECT_SOURCE_DIR}/man/man3/*.3)
foreach(page vorlen.8 sin.1 ${VORLEN_MAN3_SOURCES})
  string(REGEX REPLACE ".*\\." "" section ${page})
  get_filename_component(pagedir ${CMAKE_BINARY_DIR}/man/${page} DIRECTORY)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${pagedir}
    COMMAND ${VORLEN_GZIP} -9nc ${PROJECT_SOURCE_DIR}/man/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page} VERBATIM)
  list(APPEND VORLEN_MAN_PAGES ${CMAKE_BINARY_DIR}/man/${page}.gz)
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(vorlen_man ALL DEPENDS ${VORLEN_MAN_PAGES})
install(FILES ${PROJECT_SOURCE_DIR}/doc/porting.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/netmap.example DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        RENAME netmap)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/vorlen-certs DESTINATION ${CMAKE_INSTALL_DATADIR}/vorlen)
install(FILES ${PROJECT_SOURCE_DIR}/examples/qnx_server.c
              ${PROJECT_SOURCE_DIR}/examples/qnx_client.c
              ${PROJECT_SOURCE_DIR}/examples/qnx_example.h
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The porting test installs this build tree into a prefix of its own and
# builds the examples against it, so it needs everything that is installed.
if(TARGET test_porting)
  target_compile_definitions(
    test_porting PRIVATE VORLEN_BUILD_DIR="${CMAKE_BINARY_DIR}"
                         VORLEN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                         VORLEN_C_COMPILER="${CMAKE_C_COMPILER}"
                         VORLEN_CXX_COMPILER="${CMAKE_CXX_COMPILER}"
                         VORLEN_CMAKE_COMMAND="${CMAKE_COMMAND}"
                         VORLEN_CMAKE_GENERATOR="${CMAKE_GENERATOR}"
                         VORLEN_INSTALL_LIBDIR="${CMAKE_INSTALL_LIBDIR}"
                         VORLEN_INSTALL_LIBEXECDIR="${CMAKE_INSTALL_LIBEXECDIR}"
                         VORLEN_LIBRARY="$<TARGET_FILE:vorlenlib>"
                         VORLEN_RUNTIME_FLAGS="${VORLEN_RUNTIME_FLAGS}")
  foreach(dep vorlen vorlenlib vorlen_qnxterm vorlen_shared vorlen_man sin drillfull drillproxy
              drillmsg drillpair)
    if(TARGET ${dep})
      add_dependencies(test_porting ${dep})
    endif()
  endforeach()
endif()
