# Installation and the Debian packages.
#
# `cmake --install build` puts the program in bin/, the window library in
# lib/dropvan/ (where the program looks for it, from ../lib/dropvan/), the manual
# page, the manual as a PDF (the help file) and the README; the window's
# desktop files come from desktop.cmake. CPack makes one package per component: "dropvan" (the
# program, the console run: no Qt) and "dropvan-window" (the window library), so a
# server without a display installs no GUI library.

# The version the program reports with --version, read from its one definition
# (a change there configures again, so the package names follow).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/app/program.h)
file(STRINGS ${CMAKE_SOURCE_DIR}/app/program.h version_line REGEX "kTrkVersion = \"[0-9.]+\"")
string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" DROPVAN_VERSION "${version_line}")
if(NOT DROPVAN_VERSION MATCHES "^[0-9.]+$")
  message(FATAL_ERROR "no kTrkVersion found in app/program.h")
endif()

# The manual page, compressed as Debian keeps them (-n: no name or time inside,
# so the same page gives the same bytes).
set(man_page ${CMAKE_BINARY_DIR}/dropvan.1.gz)
add_custom_command(OUTPUT ${man_page}
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/docs/dropvan.1 > ${man_page}
  DEPENDS ${CMAKE_SOURCE_DIR}/docs/dropvan.1 VERBATIM)
add_custom_target(dropvan_man ALL DEPENDS ${man_page})
install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT dropvan)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/dropvan COMPONENT dropvan)
# The manual as a PDF, the help file that Help opens: beside the program in the
# build, with the documentation once installed.
find_program(GROFF groff REQUIRED)
set(help_pdf ${CMAKE_BINARY_DIR}/dropvan.pdf)
add_custom_command(OUTPUT ${help_pdf}
  COMMAND ${GROFF} -man -Tpdf ${CMAKE_SOURCE_DIR}/docs/dropvan.1 > ${help_pdf}
  DEPENDS ${CMAKE_SOURCE_DIR}/docs/dropvan.1 VERBATIM)
add_custom_target(dropvan_help ALL DEPENDS ${help_pdf})
install(FILES ${help_pdf} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/dropvan COMPONENT dropvan)
# The package test packs the build it belongs to.
if(TARGET app_slow_tests)
  add_dependencies(app_slow_tests dropvan_man dropvan_help)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dropvan)
set(CPACK_PACKAGE_VERSION ${DROPVAN_VERSION})
set(CPACK_PACKAGE_CONTACT "Dropvan maintainers <maintainers@dropvan.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL dropvan)
if(TARGET dropvan_window)
  list(APPEND CPACK_COMPONENTS_ALL window)
endif()
# <name>_<version>_<architecture>.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)

# The libraries' packages come from dpkg-shlibdeps (the minimum versions of the
# symbols each file uses): PCRE2 for the program, Qt 6 for the window.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libssh2 and the TLS and crypto libraries are loaded by the program when it first
# transfers, not linked, so dpkg-shlibdeps cannot see them: their packages are
# those of the files built against, at least at the version built against.
function(dropvan_package_of variable library)
  file(REAL_PATH ${library} file)
  execute_process(COMMAND dpkg-query -S ${file} OUTPUT_VARIABLE owner RESULT_VARIABLE failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(failed OR NOT owner MATCHES "^([^:, ]+)")
    message(FATAL_ERROR "no package holds ${file}")
  endif()
  set(package ${CMAKE_MATCH_1})
  execute_process(COMMAND dpkg-query -W -f=\${Version} ${package} OUTPUT_VARIABLE version)
  string(REGEX REPLACE "^([0-9]+:)?([^-]+).*" "\\2" version "${version}")
  set(${variable} "${package} (>= ${version})" PARENT_SCOPE)
endfunction()
find_program(DPKG_QUERY dpkg-query)
if(DPKG_QUERY)
  dropvan_package_of(ssl_package ${OPENSSL_SSL_LIBRARY})
  dropvan_package_of(ssh2_package ${SSH2_LIBRARY})
  # libssl3 holds the crypto library too.
  set(CPACK_DEBIAN_DROPVAN_PACKAGE_DEPENDS "${ssl_package}, ${ssh2_package}")
endif()
set(CPACK_DEBIAN_DROPVAN_PACKAGE_NAME dropvan)
# A description's first line is the package's summary.
set(CPACK_DEBIAN_DROPVAN_DESCRIPTION "upload a local folder to an FTP server, skipping unchanged files
Dropvan uploads a folder to an FTP server with several connections and
skips every file whose content has not changed since its last upload.
This package holds the program and its console run; the window is in
dropvan-window.")

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME dropvan-window)
# The window's core symbols are the program's own: it needs this very version.
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "dropvan (= ${DROPVAN_VERSION})")
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_WINDOW_DESCRIPTION "window of the Dropvan FTP folder uploader
The Qt window of dropvan, loaded only for a window run.")

include(${CMAKE_CURRENT_LIST_DIR}/desktop.cmake)
include(CPack)
