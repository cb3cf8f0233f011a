# Install rules and the Debian package (included by the top-level CMakeLists.txt once the
# tollivar target exists).
#
# Components:
#   runtime      libtollivar.so.1 and libtollivar.so.1.x.y
#   development  public headers, libtollivar.so, TollivarConfig*.cmake, tollivar.pc
#   host         tollivar-host, the reference host
#   simulator    cnb-camsim (only on request: cmake --install <build> --component simulator)
include(CMakePackageConfigHelpers)

set(TOLLIVAR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tollivar)

install(TARGETS tollivar EXPORT TollivarTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
    NAMELINK_COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tollivar
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.h")
install(EXPORT TollivarTargets NAMESPACE Tollivar:: FILE TollivarTargets.cmake
  DESTINATION ${TOLLIVAR_CMAKE_DIR} COMPONENT development)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TollivarConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TollivarConfig.cmake INSTALL_DESTINATION ${TOLLIVAR_CMAKE_DIR})
# 1.x hosts keep working with any later 1.y library; a new major version is a new ABI.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TollivarConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TollivarConfig.cmake
  ${PROJECT_BINARY_DIR}/TollivarConfigVersion.cmake
  DESTINATION ${TOLLIVAR_CMAKE_DIR} COMPONENT development)

# tollivar.pc finds its prefix from its own folder, so the installed tree can be moved and the
# same file serves `cmake --install --prefix` and the Debian package.
file(RELATIVE_PATH TOLLIVAR_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TOLLIVAR_PC_TO_PREFIX "${TOLLIVAR_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tollivar.pc.in ${PROJECT_BINARY_DIR}/tollivar.pc
  @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tollivar.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

if(TARGET tollivar-host)
  install(TARGETS tollivar-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
endif()
if(TARGET cnb-camsim)
  install(TARGETS cnb-camsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simulator
    EXCLUDE_FROM_ALL)
endif()

# One Debian package with everything but the simulator.
set(CPACK_PACKAGE_NAME tollivar)
set(CPACK_PACKAGE_VENDOR "Tollivar")
set(CPACK_PACKAGE_CONTACT "Tollivar maintainers <maintainers@tollivar.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "libtollivar, a capture driver for CNB network cameras and multi-channel video servers \
(H.264, MJPEG and MPEG-4 over RTSP/RTP, digital I/O, PTZ), its C++ host interface headers, \
CMake and pkg-config files, and tollivar-host, the reference recording host.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime development host)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps must find libtollivar.so.1 (which tollivar-host loads, and which the package
# itself brings) among the package's own files.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_GENERATOR DEB)
include(CPack)
