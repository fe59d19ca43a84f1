# The package as a user meets it, in a fresh prefix under WORK_DIR:
#   cmake -DMODE=installed -DBUILD_DIR=<this build> ...   installs this build tree;
#   cmake -DMODE=shared -DNEMRA_SOURCE=<source tree> ...  configures a shared build of nemra alone
#     (no tests), builds it and installs it, then runs the installed nemra-selfcheck from the
#     prefix: exit status 0 and exactly the standard error GOLDEN holds.
# Then builds the consumer in SOURCE_DIR against that prefix only, once through
# find_package(nemra COMPONENTS ...) and once through pkg-config, and runs both. Other inputs:
# CXX (compiler), BUILD_TYPE, CXX_FLAGS (CMAKE_CXX_FLAGS and those of BUILD_TYPE), LINKER_FLAGS.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
separate_arguments(linker_flags UNIX_COMMAND "${LINKER_FLAGS}")

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGV}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "shared")
  set(nemra_build ${WORK_DIR}/nemra)
  run(${CMAKE_COMMAND} -S ${NEMRA_SOURCE} -B ${nemra_build} -G Ninja
      -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DBUILD_SHARED_LIBS=ON
      -DNEMRA_BUILD_TESTS=OFF "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_CXX_FLAGS_${BUILD_TYPE}="
      "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
  run(${CMAKE_COMMAND} --build ${nemra_build} -j 2)
  run(${CMAKE_COMMAND} --install ${nemra_build} --prefix ${prefix})
else()
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
endif()

# Public headers, the package files and the program; no private header.
foreach(f include/nemra/version.hpp include/nemra/config.hpp
          include/nemra_kernel/nemra_kernel.hpp include/nemra_ecs/nemra_ecs.hpp
          include/nemra_lockstep/nemra_lockstep.hpp
          lib/cmake/nemra/nemraConfig.cmake lib/cmake/nemra/nemraConfigVersion.cmake
          lib/pkgconfig/nemra.pc bin/nemra-selfcheck)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
foreach(f include/nemra_kernel/checks include/nemra_ecs/checks include/nemra_ecs/owning.hpp
          include/nemra_kernel/detail include/nemra_kernel/cr include/nemra_ecs/detail
          include/nemra_lockstep/detail)
  if(EXISTS ${prefix}/${f})
    message(FATAL_ERROR "a private file is installed: ${f}")
  endif()
endforeach()

if(MODE STREQUAL "shared")
  # Versioned shared libraries that export nemra's API and nothing of their internals.
  foreach(module kernel ecs)
    file(GLOB library ${prefix}/lib/libnemra_${module}.so.*.*.*)
    if(NOT library)
      message(FATAL_ERROR "no versioned libnemra_${module}.so installed")
    endif()
    run(readelf -d ${library})
    if(NOT last_output MATCHES "SONAME\\)[^\n]*libnemra_${module}\\.so\\.[0-9]+\\.[0-9]+\\]")
      message(FATAL_ERROR "libnemra_${module}: no versioned SONAME\n${last_output}")
    endif()
    run(nm -DC --defined-only ${library})
    string(REGEX MATCHALL "[^\n]*(::simd::|Avx|Sse2|_pick_|backtrace|BlockTable)[^\n]*" internal
           "${last_output}")
    if(internal)
      message(FATAL_ERROR "libnemra_${module} exports internal symbols:\n${internal}")
    endif()
  endforeach()

  # Run from the prefix, with no help to find the libraries.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
      ${prefix}/bin/nemra-selfcheck
    RESULT_VARIABLE status ERROR_FILE ${WORK_DIR}/selfcheck_stderr.txt)
  file(READ ${WORK_DIR}/selfcheck_stderr.txt actual)
  file(READ ${GOLDEN} expected)
  if(NOT status STREQUAL "0" OR NOT actual STREQUAL expected)
    message(FATAL_ERROR "installed nemra-selfcheck: exit ${status}, standard error:\n${actual}")
  endif()
endif()

# The consumer through the CMake package. Its compile command must carry no flag of nemra's.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
file(READ ${WORK_DIR}/build/compile_commands.json commands)
if(commands MATCHES "-ffp-contract|-fno-fast-math|-fvisibility|-W[a-z]")
  message(FATAL_ERROR "nemra's compile options reached the consumer:\n${commands}")
endif()
run(${WORK_DIR}/build/nemra_consumer)
if(NOT last_output STREQUAL "nemra consumer ok\n")
  message(FATAL_ERROR "unexpected consumer output: ${last_output}")
endif()

# The same consumer through pkg-config alone.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(pkg-config --cflags --libs nemra)
separate_arguments(pkg_flags UNIX_COMMAND "${last_output}")
run(${CXX} ${cxx_flags} ${SOURCE_DIR}/main.cpp ${pkg_flags} ${linker_flags}
    -Wl,-rpath,${prefix}/lib -o ${WORK_DIR}/pkg_config_consumer)
run(${WORK_DIR}/pkg_config_consumer)
if(NOT last_output STREQUAL "nemra consumer ok\n")
  message(FATAL_ERROR "unexpected output of the pkg-config consumer: ${last_output}")
endif()
