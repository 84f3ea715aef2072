# Install tree: the library, its headers, a CMake package (Yr::system) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS yrsystem EXPORT YrSystemTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/yr)
install(EXPORT YrSystemTargets NAMESPACE Yr:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/YrSystem)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/YrSystemConfig.cmake.in
  ${PROJECT_BINARY_DIR}/YrSystemConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/YrSystem)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/YrSystemConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/YrSystemConfig.cmake ${PROJECT_BINARY_DIR}/YrSystemConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/YrSystem)

# The pkg-config file finds its prefix from its own place, so the tree stays correct when
# `cmake --install --prefix` picks another prefix than the configured one.
file(RELATIVE_PATH YR_PC_PREFIX_FROM_PCDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" YR_PC_PREFIX_FROM_PCDIR "${YR_PC_PREFIX_FROM_PCDIR}")
if(YR_DEFAULT_ALLOCATOR STREQUAL "mimalloc")
  set(YR_PC_ALLOCATOR_CFLAGS " -DYR_DEFAULT_ALLOCATOR_MIMALLOC=1")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/yrsystem.pc.in ${PROJECT_BINARY_DIR}/yrsystem.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/yrsystem.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
