# Install rules: headers, the library, quillet-dump and mrk2mrc, a CMake package
# (find_package(Quillet)) and quillet.pc for pkg-config.
include(CMakePackageConfigHelpers)

set(QUILLET_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/Quillet")

install(TARGETS quillet EXPORT QuilletTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# The whole folder, detail/ included: the inline members of view.h use it.
install(DIRECTORY include/quillet DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT QuilletTargets NAMESPACE quillet:: DESTINATION ${QUILLET_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(cmake/QuilletConfig.cmake.in
  "${PROJECT_BINARY_DIR}/QuilletConfig.cmake" INSTALL_DESTINATION ${QUILLET_CMAKE_DIR})
write_basic_package_version_file("${PROJECT_BINARY_DIR}/QuilletConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/QuilletConfig.cmake"
  "${PROJECT_BINARY_DIR}/QuilletConfigVersion.cmake"
  cmake/FindLibmd.cmake
  cmake/FindUtf8proc.cmake
  DESTINATION ${QUILLET_CMAKE_DIR} COMPONENT development)

# quillet.pc finds its prefix from where it is installed, so that the tree
# can be installed anywhere (cmake --install --prefix) and moved.
set(pc_dir "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
file(RELATIVE_PATH pc_to_prefix "/prefix/${pc_dir}" "/prefix")
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
set(QUILLET_PC_CFLAGS "")
if(quillet_library_type STREQUAL "SHARED")
  set(QUILLET_PC_CFLAGS " -DQUILLET_SHARED_LIBRARY")
endif()
configure_file(cmake/quillet.pc.in "${PROJECT_BINARY_DIR}/quillet.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/quillet.pc" DESTINATION ${pc_dir} COMPONENT development)

if(TARGET quillet-dump)
  install(TARGETS quillet-dump mrk2mrc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()
