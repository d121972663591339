# Install rules and the Debian package (cpack -G DEB), used with
# -DQ318B_INSTALL_LAYOUT=ON -DCMAKE_INSTALL_PREFIX=/usr (scripts/package.sh).
# The root CMakeLists.txt sets Q318B_PKGLIBDIR, Q318B_PKGDATADIR and
# Q318B_CONFDIR before the programs are defined, since their compiled-in
# defaults name the installed files.

set(Q318B_PACKAGE_NAME q318b)
set(Q318B_STATE_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/${Q318B_PACKAGE_NAME}")
set(Q318B_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/${Q318B_PACKAGE_NAME}")
set(Q318B_USER q318b)
set(pkg_src "${PROJECT_SOURCE_DIR}/packaging")
set(pkg_out "${PROJECT_BINARY_DIR}/packaging")

# The Debian changelog is where the version lives; the package takes it
# from its first line so that the two cannot disagree.
file(STRINGS "${pkg_src}/changelog" changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^${Q318B_PACKAGE_NAME} \\(([^)]+)\\)")
  message(FATAL_ERROR "packaging/changelog: first line is not \"${Q318B_PACKAGE_NAME} (VERSION) ...\"")
endif()
set(Q318B_PACKAGE_VERSION "${CMAKE_MATCH_1}")

# systemd's own idea of where system units go (/lib/systemd/system on
# Debian 12, /usr/lib/systemd/system later).
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(Q318B_UNIT_DIR systemd systemdsystemunitdir)
endif()
if(NOT Q318B_UNIT_DIR)
  set(Q318B_UNIT_DIR /lib/systemd/system)
endif()

# --- programs, the runtime library and the plug-in -----------------------------
# The runtime library is private to the programs (no soname version, no
# headers): a RUNPATH to its folder, which lintian accepts under
# /usr/lib/<triplet>/<package>, instead of a public library package.
set_target_properties(q318b-host q318b-sim q318b-decode q318b-probe PROPERTIES
  INSTALL_RPATH "${CMAKE_INSTALL_FULL_LIBDIR}/q318b")
install(TARGETS q318b-host q318b-sim q318b-decode q318b-probe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS q318b_host_runtime LIBRARY DESTINATION ${Q318B_PKGLIBDIR} NAMELINK_SKIP)
install(TARGETS q318b_419 LIBRARY DESTINATION ${Q318B_PKGLIBDIR})

# --- what the installed example site runs: scenarios, settings, rule files ----
# Under /usr/share/q318b, not /usr/share/doc, which a system may leave out.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/scenarios ${PROJECT_SOURCE_DIR}/examples/settings
                  ${PROJECT_SOURCE_DIR}/examples/ini
        DESTINATION ${Q318B_PKGDATADIR} FILES_MATCHING PATTERN "*.json" PATTERN "*.ini")
configure_file(${pkg_src}/site.json.in ${pkg_out}/site.json @ONLY)
install(FILES ${pkg_out}/site.json DESTINATION ${Q318B_CONFDIR})

configure_file(${pkg_src}/q318b-host.service.in ${pkg_out}/q318b-host.service @ONLY)
install(FILES ${pkg_out}/q318b-host.service DESTINATION ${Q318B_UNIT_DIR})

# --- documentation: man pages and the changelog, compressed as Debian wants ----
find_program(GZIP_PROGRAM gzip REQUIRED)
set(man_pages q318b-host.1 q318b-sim.1 q318b-decode.1 q318b-probe.1 q318b-site.5)
set(gz_files)
foreach(page IN LISTS man_pages)
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section "${page}")
  configure_file(${pkg_src}/man/${page} ${pkg_out}/man/${page} @ONLY)
  add_custom_command(
    OUTPUT ${pkg_out}/man/${page}.gz
    COMMAND sh -c "${GZIP_PROGRAM} -9nc \"$0\" > \"$1\"" ${pkg_out}/man/${page} ${pkg_out}/man/${page}.gz
    DEPENDS ${pkg_out}/man/${page}
    VERBATIM)
  list(APPEND gz_files ${pkg_out}/man/${page}.gz)
  install(FILES ${pkg_out}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_command(
  OUTPUT ${pkg_out}/changelog.gz
  COMMAND sh -c "${GZIP_PROGRAM} -9nc \"$0\" > \"$1\"" ${pkg_src}/changelog ${pkg_out}/changelog.gz
  DEPENDS ${pkg_src}/changelog
  VERBATIM)
list(APPEND gz_files ${pkg_out}/changelog.gz)
add_custom_target(q318b_package_docs ALL DEPENDS ${gz_files})

install(FILES ${pkg_out}/changelog.gz ${pkg_src}/copyright DESTINATION ${Q318B_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/architecture.md
              ${PROJECT_SOURCE_DIR}/docs/http-api.md ${PROJECT_SOURCE_DIR}/docs/mqtt.md
        DESTINATION ${Q318B_DOC_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${Q318B_DOC_DIR}/examples)
install(FILES ${pkg_src}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME ${Q318B_PACKAGE_NAME})

# --- maintainer scripts and control files --------------------------------------
foreach(script postinst prerm postrm)
  configure_file(${pkg_src}/${script}.in ${pkg_out}/control/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
file(WRITE ${pkg_out}/control/conffiles "${Q318B_CONFDIR}/site.json\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${Q318B_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${Q318B_PACKAGE_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_CONTACT "Seed 1da6a168 maintainers <maintainers@users.noreply.c-seed-1da6a168.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "runner for 48 V DC power controllers with the q318b_419 plug-in")
# CPack puts the summary above this as the first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "q318b-host loads the q318b_419 device plug-in and polls telecom 48 V DC
power-system controllers (AC distribution, rectifier modules, DC
distribution) over serial lines, TCP serial servers or a built-in
simulator. It stores every round, alarm and report in SQLite, can serve
Prometheus metrics, a JSON API and a status page, publish to an MQTT
broker and run a program on every alarm.
.
The package also holds the controller simulator q318b-sim, the record
decoder q318b-decode, and a systemd service that runs the example site
in /etc/q318b/site.json.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs reach the runtime library through their RUNPATH; the
# plug-in's undefined host symbols come from the process that loads it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_INSTALL_FULL_LIBDIR}/q318b")
# adduser for the system user in postinst.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${pkg_out}/control/conffiles;${pkg_out}/control/postinst;${pkg_out}/control/prerm;${pkg_out}/control/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_Q318B_STRIP "${CMAKE_STRIP}")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/Q318bStripStaged.cmake")
include(CPack)
