# `cmake --install` puts the library, its headers, a pkg-config file and a
# CMake package config in place, so find_package(quillomat) and
# `pkg-config --libs quillomat` work for programs outside this tree.
include(CMakePackageConfigHelpers)

install(TARGETS quillomat quillomat_static EXPORT quillomatTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${QM_LIB_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillomat)
install(TARGETS Updater RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT quillomatTargets NAMESPACE quillomat::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quillomat)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quillomatConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quillomatConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quillomat)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quillomatConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quillomatConfig.cmake
  ${PROJECT_BINARY_DIR}/quillomatConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quillomat)

# The .pc file finds the prefix relative to itself, so an installed tree can
# be moved (and `cmake --install --prefix` works).
file(RELATIVE_PATH QM_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/quillomat.pc.in
  ${PROJECT_BINARY_DIR}/quillomat.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quillomat.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
