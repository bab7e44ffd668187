# Installing: the header, the library, a CMake package (find_package(Morlune)
# gives Morlune::morlune) and a pkg-config file (morlune.pc).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MORLUNE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Morlune)

install(TARGETS morlune EXPORT MorluneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/morlune.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT MorluneTargets NAMESPACE Morlune:: DESTINATION ${MORLUNE_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/MorluneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/MorluneConfig.cmake
  INSTALL_DESTINATION ${MORLUNE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/MorluneConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/MorluneConfig.cmake
  ${PROJECT_BINARY_DIR}/MorluneConfigVersion.cmake
  DESTINATION ${MORLUNE_CMAKE_DIR})

# The pkg-config file finds its prefix from where it lies, so an install to any
# prefix (cmake --install --prefix) needs no reconfiguring.
file(RELATIVE_PATH MORLUNE_PC_TO_PREFIX
  /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" MORLUNE_PC_TO_PREFIX "${MORLUNE_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/morlune.pc.in ${PROJECT_BINARY_DIR}/morlune.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/morlune.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
