# What a user's build finds after `cmake --install`: the CMake package Ferrox
# (targets Ferrox::Ferrox and Ferrox::MemArea) and the pkg-config files
# ferrox and ferrox-memarea; and the Debian package that `make package`
# builds from the same install rules.
include(CMakePackageConfigHelpers)

install(EXPORT FerroxTargets NAMESPACE Ferrox:: DESTINATION ${FERROX_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/FerroxConfig.cmake.in ${CMAKE_BINARY_DIR}/FerroxConfig.cmake
  INSTALL_DESTINATION ${FERROX_INSTALL_CMAKEDIR})
# 1.92 serves a request for any 1.x up to 1.92: the SONAME's promise.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/FerroxConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/FerroxConfig.cmake ${CMAKE_BINARY_DIR}/FerroxConfigVersion.cmake
  DESTINATION ${FERROX_INSTALL_CMAKEDIR})

# The pkg-config files find the prefix from where they lie, so that they
# hold for any prefix the install is given.
file(RELATIVE_PATH FERROX_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" FERROX_PC_TO_PREFIX "${FERROX_PC_TO_PREFIX}")
foreach(pc ferrox ferrox-memarea)
  configure_file(cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# One Debian package with everything the install holds: the library, the
# tools, the Java bridge and the development files. Its dependencies come
# from the binaries (dpkg-shlibdeps); the shlibs file it carries lets the
# packages of programs built on it depend on it the same way.
set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_NAME ferrox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Ferrox developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Quidor debug probe host software for Tamsa microcontrollers")
set(CPACK_PACKAGE_DESCRIPTION "Halt, run, step and inspect a Tamsa target through the Quidor probe,
program its memories from Intel HEX files, protect, unprotect and erase it,
and script all of it. The Ferrox link library with its headers, CMake
package and pkg-config files; the memory image library; the ferroxcmd
commander; the Java bridge (ferrox.jar, libferroxjni.so); quidord, a
network server for a probe on this machine (with its systemd unit), and the
udev rule that lets the user at the seat open probes; quidorsim, a virtual
probe.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Only the Java side needs a JVM.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "default-jre-headless | java8-runtime-headless")
include(CPack)
