# Install rules, the CMake package config for the client library, and the
# Debian packages.
#
# Two install components:
#   runtime      the host, kelvarin-bridge, the documentation and, if asked
#                for, the browsers' system-wide manifests
#   development  the client library, its header and the package config
# They become two Debian packages, so a desktop application's build machine
# gets the library without registering a host with every browser, and a user
# machine gets the host without a compiler's worth of Boost headers.

include(CMakePackageConfigHelpers)

option(KELVARIN_INSTALL_SYSTEM_MANIFESTS
  "Write the browsers' system-wide manifests under /etc (inside DESTDIR) at install time" OFF)
set(KELVARIN_PACKAGE_MAINTAINER "Kelvarin maintainers <packaging@kelvarin.invalid>"
  CACHE STRING "Maintainer field of the Debian packages")

set(kelvarin_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kelvarin)

install(TARGETS kelvarin-browser-host kelvarin-bridge
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

# kelvarin-client links kelvarin-core privately; for a static library that is
# still a link dependency, so the core archive ships as kelvarin::core (no
# headers: consumers only ever see it on the link line).
set_target_properties(kelvarin-client PROPERTIES EXPORT_NAME client)
set_target_properties(kelvarin-core PROPERTIES EXPORT_NAME core)
install(TARGETS kelvarin-client kelvarin-core EXPORT kelvarinTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/client/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.hpp")
install(EXPORT kelvarinTargets NAMESPACE kelvarin:: DESTINATION ${kelvarin_cmake_dir}
  COMPONENT development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kelvarinConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/kelvarinConfig.cmake
  INSTALL_DESTINATION ${kelvarin_cmake_dir})
# Before 1.0 a minor release may break the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/kelvarinConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/kelvarinConfig.cmake
  ${PROJECT_BINARY_DIR}/packaging/kelvarinConfigVersion.cmake
  DESTINATION ${kelvarin_cmake_dir} COMPONENT development)

foreach(doc README.md SECURITY.md LICENSE COPYING)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${doc})
    install(FILES ${PROJECT_SOURCE_DIR}/${doc} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
  endif()
endforeach()

if(KELVARIN_INSTALL_SYSTEM_MANIFESTS)
  # The manifests name the host by the path it has once installed: the
  # prefix given at install time (cmake --install --prefix, or /usr for the
  # package), never the staging directory. They land in /etc under DESTDIR;
  # without DESTDIR this is a real system-wide registration.
  string(CONFIGURE [[
    if(IS_ABSOLUTE "@CMAKE_INSTALL_BINDIR@")
      set(kelvarin_host_path "@CMAKE_INSTALL_BINDIR@/kelvarin-browser-host")
    else()
      set(kelvarin_host_path "${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_BINDIR@/kelvarin-browser-host")
    endif()
    set(kelvarin_destdir)
    if(NOT "$ENV{DESTDIR}" STREQUAL "")
      set(kelvarin_destdir --destdir "$ENV{DESTDIR}")
    endif()
    message(STATUS "Installing system manifests for ${kelvarin_host_path} under $ENV{DESTDIR}/etc")
    execute_process(
      COMMAND "$<TARGET_FILE:kelvarin-bridge>" install --system ${kelvarin_destdir}
              --host-path "${kelvarin_host_path}"
      RESULT_VARIABLE kelvarin_result)
    if(NOT kelvarin_result EQUAL 0)
      message(FATAL_ERROR "kelvarin-bridge install --system failed (${kelvarin_result})")
    endif()
  ]] kelvarin_manifest_code @ONLY)
  install(CODE "${kelvarin_manifest_code}" COMPONENT runtime)
endif()

# Debian packages. Build them with scripts/package (prefix /usr, manifests on).
set(CPACK_PACKAGE_NAME kelvarin-browser-host)
set(CPACK_PACKAGE_VENDOR kelvarin)
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it before each
# component's description, whose first line is that package's summary.
set(CPACK_PACKAGE_CONTACT "${KELVARIN_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KELVARIN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME kelvarin-browser-host)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION web)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "native-messaging host bridging a browser extension and desktop applications
kelvarin-browser-host is started by Chromium-family browsers for a trusted
extension. It publishes a private discovery file for the user's desktop
applications, admits authenticated clients over loopback TCP, keeps a lease
on the browser profile and forwards the lease holder's requests to the
extension.
.
kelvarin-bridge registers the host with the browsers, lists and queries
running hosts, and explains why a browser cannot start or reach the host.")
find_program(KELVARIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(KELVARIN_FILE file)
if(KELVARIN_DPKG_SHLIBDEPS AND KELVARIN_FILE)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
else()
  # Without dpkg-dev: what the programs link on Debian 12.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
    "libboost-json1.81.0 (>= 1.81.0), libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
endif()

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME kelvarin-browser-host-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libboost1.81-dev, libboost-json1.81-dev")
# The library talks to a running host; the host is what a browser starts.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_RECOMMENDS "kelvarin-browser-host (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "client library for kelvarin-browser-host (static, C++23)
Finds running kelvarin-browser-host processes through their discovery files,
opens authenticated sessions, calls methods with a time limit and keeps the
lease on a browser profile, with errors as values. Ships the static library,
its header and a CMake package config: find_package(kelvarin) gives the
target kelvarin::client.")

if(KELVARIN_INSTALL_SYSTEM_MANIFESTS)
  # Files under /etc belong to the administrator once installed: list them
  # as conffiles. Which manifests there are is known only after the staging
  # install, so the list is written then.
  set(kelvarin_conffiles ${PROJECT_BINARY_DIR}/packaging/runtime/conffiles)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/deb_conffiles.cmake.in
    ${PROJECT_BINARY_DIR}/packaging/deb_conffiles.cmake @ONLY)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_BINARY_DIR}/packaging/deb_conffiles.cmake)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${kelvarin_conffiles})
endif()

include(CPack)
