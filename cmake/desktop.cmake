# The window's place on the desktop, all in the dropvan-window package: the
# desktop entry (the applications menu, and the program that opens
# .batch-dropvan projects), the projects' MIME type, the van icon in the hicolor
# theme at its sizes (drawn by scripts/make-images), and the AppStream metadata.
# The desktop's own caches follow through dpkg's triggers.
set(desktop_id example.dropvan.Dropvan)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/${desktop_id}.desktop
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT window)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/dropvan-mime.xml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/mime/packages RENAME dropvan.xml COMPONENT window)
foreach(size 16 24 32 48 64 128 256)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/icons/${size}x${size}.png
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${desktop_id}.png COMPONENT window)
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/packaging/${desktop_id}.metainfo.xml.in
               ${CMAKE_BINARY_DIR}/${desktop_id}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/${desktop_id}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo COMPONENT window)

# What Debian asks of every package in its documentation folder: the copyright,
# and the changelog (a native package's changelog.gz; -n: the same bytes for the
# same text).
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/changelog @ONLY)
set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/changelog > ${changelog}
  DEPENDS ${CMAKE_BINARY_DIR}/changelog VERBATIM)
add_custom_target(dropvan_changelog ALL DEPENDS ${changelog})
foreach(package dropvan dropvan-window)
  set(component ${package})
  if(package STREQUAL "dropvan-window")
    set(component window)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()
