# The Debian package (cpack -G DEB), built from the install rules. Configure with
# -DCMAKE_INSTALL_PREFIX=/usr and -DKOLVARIS_TRUST_ANCHOR=...; a development build is refused by
# the first install rule (cmake/install.cmake).

if(APPLE)
  return()
endif()

set(KOLVARIS_PACKAGE_NAME "kolvaris-desktop-helper")
set(_doc_dir "${CMAKE_INSTALL_DATADIR}/doc/${KOLVARIS_PACKAGE_NAME}")
set(_packaging "${CMAKE_SOURCE_DIR}/packaging/debian")
set(_generated "${CMAKE_BINARY_DIR}/packaging")

# Documentation Debian expects of every package, compressed the reproducible way.
find_program(KOLVARIS_GZIP gzip REQUIRED)
set(HELPER_LABEL "${KOLVARIS_HELPER_LABEL}")
set(HELPER_INSTALL_PATH "${KOLVARIS_HELPER_INSTALL_DIR}/${KOLVARIS_HELPER_LABEL}")
configure_file("${_packaging}/helper.8.in" "${_generated}/${KOLVARIS_HELPER_LABEL}.8" @ONLY)
foreach(_page changelog helperctl.1 kolvaris-codesign.1)
  configure_file("${_packaging}/${_page}" "${_generated}/${_page}" COPYONLY)
endforeach()
foreach(_page changelog helperctl.1 kolvaris-codesign.1 ${KOLVARIS_HELPER_LABEL}.8)
  execute_process(COMMAND "${KOLVARIS_GZIP}" -9nf "${_generated}/${_page}")
endforeach()
install(FILES "${_packaging}/copyright" "${_generated}/changelog.gz"
  DESTINATION "${_doc_dir}" COMPONENT helper)
install(FILES "${_generated}/helperctl.1.gz" "${_generated}/kolvaris-codesign.1.gz"
  DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT helper)
install(FILES "${_generated}/${KOLVARIS_HELPER_LABEL}.8.gz"
  DESTINATION "${CMAKE_INSTALL_MANDIR}/man8" COMPONENT helper)
install(FILES "${_packaging}/lintian-overrides"
  DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides" RENAME "${KOLVARIS_PACKAGE_NAME}"
  COMPONENT helper)

# The log grows by a line per file of every replacement: rotated weekly. Files under /etc are the
# administrator's to change, so dpkg keeps their edits (conffiles).
set(_logrotate "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d")
configure_file("${_packaging}/logrotate.in" "${_generated}/logrotate/${KOLVARIS_HELPER_LABEL}" @ONLY)
install(FILES "${_generated}/logrotate/${KOLVARIS_HELPER_LABEL}" DESTINATION "${_logrotate}"
  COMPONENT helper)
file(WRITE "${_generated}/control/conffiles.new" "${_logrotate}/${KOLVARIS_HELPER_LABEL}\n")
configure_file("${_generated}/control/conffiles.new" "${_generated}/control/conffiles" COPYONLY)

# Maintainer scripts: enable and start the socket where systemd runs, stop and disable it on
# removal, remove the log on purge. The trigger runs ldconfig for the client library.
foreach(_script postinst prerm postrm)
  configure_file("${_packaging}/${_script}.in" "${_generated}/control/${_script}" @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                     WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "${KOLVARIS_PACKAGE_NAME}")
set(CPACK_PACKAGE_VERSION "${KOLVARIS_CLIENT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Kolvaris")
set(CPACK_PACKAGE_CONTACT "Kolvaris packaging <packaging@kolvaris.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "privileged update helper for the Kolvaris desktop application")
set(CPACK_PACKAGE_DESCRIPTION "A short-lived root service, started by systemd when the application
connects to its socket. It checks the code signature of the connecting
application, swaps a signed update into the place of the installed application
in one atomic step, and launches the application again as the user who asked.

Also contains helperctl, the code-signing tool and the C client library.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${_generated}/control/postinst" "${_generated}/control/prerm" "${_generated}/control/postrm"
  "${_generated}/control/conffiles" "${_packaging}/triggers")
include(CPack)
