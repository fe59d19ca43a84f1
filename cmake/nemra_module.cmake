# nemra_add_module(<name> SOURCES <.cpp ...> HEADERS <public .hpp ...> [DEPENDS <targets ...>])
#
# One module of nemra from the folder that calls it:
# - the library nemra_<name> (alias and exported name nemra::<name>), static or shared as
#   BUILD_SHARED_LIBS says, versioned, hidden but for what its headers mark NEMRA_API, linking
#   DEPENDS publicly;
# - its public headers as the library's HEADERS file set (relative to src/, or to the generated
#   include/ folder of the build), the only headers installed;
# - nemra_<name>_checks, the module's named checks (checks/checks.cpp), a static library for the
#   self-check program;
# - when NEMRA_INSTALL is on, the installation of the library and its headers into the export set
#   nemraTargets (see nemra_install.cmake).
function(nemra_add_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;HEADERS;DEPENDS" ${ARGN})
  set(target nemra_${name})
  add_library(${target} ${ARG_SOURCES})
  add_library(nemra::${name} ALIAS ${target})
  target_sources(${target} PUBLIC FILE_SET HEADERS
    BASE_DIRS ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/include
    FILES ${ARG_HEADERS})
  target_link_libraries(${target} PUBLIC ${ARG_DEPENDS})
  # 0.x releases may change the ABI with the minor version.
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${name}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  nemra_target_options(${target})

  add_library(${target}_checks STATIC checks/checks.cpp)
  target_link_libraries(${target}_checks PUBLIC ${target} selfcheck_api)
  nemra_target_options(${target}_checks)

  if(NEMRA_INSTALL)
    install(TARGETS ${target} EXPORT nemraTargets
      ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
      FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  endif()
endfunction()
