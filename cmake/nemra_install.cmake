# Installation: headers, the two libraries, nemra-selfcheck, and a CMake package so that
# find_package(nemra CONFIG REQUIRED) gives nemra::kernel and nemra::ecs.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(nemra_kernel PROPERTIES EXPORT_NAME kernel)
set_target_properties(nemra_ecs PROPERTIES EXPORT_NAME ecs)

install(TARGETS nemra_kernel nemra_ecs EXPORT nemraTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS nemra-selfcheck RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Public headers; the check tables belong to the self-check program, not to the library.
foreach(module nemra_kernel nemra_ecs)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/${module}/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${module}
    FILES_MATCHING PATTERN "*.hpp" PATTERN "checks.hpp" EXCLUDE PATTERN "owning.hpp" EXCLUDE)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/src/nemra/config.hpp ${PROJECT_BINARY_DIR}/include/nemra/version.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nemra)

set(NEMRA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/nemra)
install(EXPORT nemraTargets NAMESPACE nemra:: DESTINATION ${NEMRA_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nemraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/nemraConfig.cmake INSTALL_DESTINATION ${NEMRA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/nemraConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/nemraConfig.cmake ${PROJECT_BINARY_DIR}/nemraConfigVersion.cmake
  DESTINATION ${NEMRA_CMAKE_DIR})
