# Installation of what the modules did not install themselves (see nemra_module.cmake):
# nemra-selfcheck, the CMake package (find_package(nemra CONFIG REQUIRED [COMPONENTS kernel ecs
# lockstep]) gives nemra::kernel, nemra::ecs and nemra::lockstep) and the pkg-config file nemra.pc.
include(CMakePackageConfigHelpers)

# The installed program finds a shared build's libraries beside it, wherever the prefix is moved. A
# static build's program needs no search path: an empty one would make the loader look for every
# library in the working directory first (and CMake pads the build tree's with empty entries).
if(BUILD_SHARED_LIBS)
  file(RELATIVE_PATH nemra_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(nemra-selfcheck PROPERTIES INSTALL_RPATH "$ORIGIN/${nemra_bin_to_lib}")
endif()
install(TARGETS nemra-selfcheck RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(NEMRA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/nemra)
install(EXPORT nemraTargets NAMESPACE nemra:: DESTINATION ${NEMRA_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nemraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/nemraConfig.cmake INSTALL_DESTINATION ${NEMRA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/nemraConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/nemraConfig.cmake ${PROJECT_BINARY_DIR}/nemraConfigVersion.cmake
  DESTINATION ${NEMRA_CMAKE_DIR})

# nemra.pc names its prefix relative to its own folder, so it stays right under any --prefix.
file(RELATIVE_PATH nemra_pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" nemra_pc_to_prefix "${nemra_pc_to_prefix}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/nemra.pc.in ${PROJECT_BINARY_DIR}/nemra.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/nemra.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
