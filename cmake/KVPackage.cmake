# The Debian package kolvex-modules, made by CPack's DEB generator from the install rules:
# `./dev package` (or cpack in a build tree) writes <build>/package/kolvex-modules_<v>_<arch>.deb.
# The version is the project's; the dependencies on shared libraries come from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kolvex-modules)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "modular synthesis modules, as LV2 plugins and for Kolvex")
set(CPACK_PACKAGE_DESCRIPTION [[
Eight plug-in modules for the Kolvex modular host (oscillators, a MIDI-to-CV
converter, value converters) and kvhost, a host that loads, renders, plays
(on JACK), checks and measures them without Kolvex.
The four modules with a DSP side also come as LV2 plugins, which LV2 hosts
find without further set-up.]])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kolvex modules developers <kolvex-modules@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "jackd2, jalv")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# What Debian asks of every package's documentation folder: the copyright notice, and a
# changelog in Debian's own format (this package is native: no separate Debian revision).
string(TIMESTAMP kv_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_BINARY_DIR}/package-files/changelog
     "kolvex-modules (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${PROJECT_VERSION}: see CHANGELOG.md beside this file.\n\n"
     " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${kv_changelog_date}\n")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package-files/changelog.gz
  COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/package-files/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/package-files/changelog
  VERBATIM)
add_custom_target(kv_package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/package-files/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
              ${CMAKE_BINARY_DIR}/package-files/changelog.gz
        DESTINATION ${KV_INSTALL_DOCDIR})

include(CPack)
