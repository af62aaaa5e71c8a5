# Install rules: the helper at the platform's place, the systemd units, the tools, and the C
# client library with its headers, CMake package and pkg-config file.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# First rule, all components: a development build trusts a test root whose private keys lie in
# the build folder, so it must never reach a machine. This also stops cpack, which installs first.
if(KOLVARIS_DEVELOPMENT_BUILD)
  install(CODE "message(FATAL_ERROR \"Refusing to install a development build: \"
    \"KOLVARIS_TRUST_ANCHOR is not set, so this helper trusts the test root in the build \"
    \"folder. Configure with -DKOLVARIS_TRUST_ANCHOR=/path/to/root.pem.\")" ALL_COMPONENTS)
endif()

if(NOT APPLE)
  set(_unit_dir_default "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
      pkg_get_variable(_systemd_unit_dir systemd systemdsystemunitdir)
    endif()
    if(_systemd_unit_dir)
      set(_unit_dir_default "${_systemd_unit_dir}")
    else()
      set(_unit_dir_default "/lib/systemd/system")
    endif()
  endif()
  set(KOLVARIS_SYSTEMD_UNIT_DIR "${_unit_dir_default}" CACHE PATH
      "Where the systemd socket and service units are installed")
endif()

if(TARGET helper)
  install(TARGETS helper
    RUNTIME DESTINATION "${KOLVARIS_HELPER_INSTALL_DIR}" COMPONENT helper
    PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                WORLD_READ WORLD_EXECUTE)
  if(NOT APPLE)
    install(FILES
      "${KOLVARIS_SERVICE_DEFINITION_DIR}/${KOLVARIS_HELPER_LABEL}.socket"
      "${KOLVARIS_SERVICE_DEFINITION_DIR}/${KOLVARIS_HELPER_LABEL}.service"
      DESTINATION "${KOLVARIS_SYSTEMD_UNIT_DIR}" COMPONENT helper)
  endif()
endif()

install(TARGETS helperctl RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT helper)
if(TARGET kolvaris-codesign)
  install(TARGETS kolvaris-codesign RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT helper)
endif()

set_target_properties(kolvaris_helper_client PROPERTIES EXPORT_NAME KolvarisHelperClient)
install(TARGETS kolvaris_helper_client EXPORT KolvarisHelperClientTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT client
    NAMELINK_COMPONENT development
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES "${KOLVARIS_CLIENT_C_SOURCE_DIR}/include/kolvaris/helper_client.h"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/kolvaris" COMPONENT development)

set(_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/KolvarisHelperClient")
install(EXPORT KolvarisHelperClientTargets NAMESPACE KolvarisHelperClient::
  DESTINATION "${_cmake_dir}" COMPONENT development)
configure_package_config_file("${KOLVARIS_CLIENT_C_SOURCE_DIR}/KolvarisHelperClientConfig.cmake.in"
  "${CMAKE_BINARY_DIR}/client-c/KolvarisHelperClientConfig.cmake"
  INSTALL_DESTINATION "${_cmake_dir}")
write_basic_package_version_file(
  "${CMAKE_BINARY_DIR}/client-c/KolvarisHelperClientConfigVersion.cmake"
  VERSION "${KOLVARIS_CLIENT_VERSION}" COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_BINARY_DIR}/client-c/KolvarisHelperClientConfig.cmake"
  "${CMAKE_BINARY_DIR}/client-c/KolvarisHelperClientConfigVersion.cmake"
  DESTINATION "${_cmake_dir}" COMPONENT development)

configure_file("${KOLVARIS_CLIENT_C_SOURCE_DIR}/kolvaris-helper-client.pc.in"
  "${CMAKE_BINARY_DIR}/client-c/kolvaris-helper-client.pc" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/client-c/kolvaris-helper-client.pc"
  DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT development)
