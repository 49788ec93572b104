# What `cmake --install` puts where (GNUInstallDirs): the dirir2i command,
# libdirir2i.so with its SONAME, the header, a pkg-config file, the CMake
# package (find_package(dirir2i) gives dirir2i::dirir2i), the man page, and
# under share/dirir2i/ a systemd unit, an Avahi service file and example
# users and configuration files.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The SONAME follows the major version: hosts built against 1.x load any 1.x.
set_target_properties(dirir2i_shared PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  EXPORT_NAME dirir2i)
target_include_directories(dirir2i_shared INTERFACE
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS dirir2i RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS dirir2i_shared EXPORT dirir2iTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/dirir2i.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES man/dirir2i.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(DIRIR2I_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dirir2i)
install(EXPORT dirir2iTargets NAMESPACE dirir2i:: DESTINATION ${DIRIR2I_CMAKE_DIR})
configure_package_config_file(cmake/dirir2iConfig.cmake.in
  ${CMAKE_BINARY_DIR}/dirir2iConfig.cmake INSTALL_DESTINATION ${DIRIR2I_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/dirir2iConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/dirir2iConfig.cmake ${CMAKE_BINARY_DIR}/dirir2iConfigVersion.cmake
  DESTINATION ${DIRIR2I_CMAKE_DIR})

# The pkg-config file and the systemd unit name installed paths, and
# `cmake --install --prefix` may choose the prefix only then: both are made
# at install time (cmake/install_paths.cmake), from the prefix in force.
install(CODE "
  set(DIRIR2I_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
  set(DIRIR2I_GEN_DIR \"${CMAKE_BINARY_DIR}/install-gen\")
  set(DIRIR2I_VERSION \"${PROJECT_VERSION}\")
  set(DIRIR2I_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(DIRIR2I_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(DIRIR2I_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(DIRIR2I_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
")
install(SCRIPT cmake/install_paths.cmake)
install(FILES dist/avahi-smb.service dist/users.example dist/dirir2i.conf.example
  DESTINATION ${CMAKE_INSTALL_DATADIR}/dirir2i)
