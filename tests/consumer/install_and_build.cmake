# Installs the build tree BUILD_DIR into a fresh prefix under WORK_DIR, then configures, builds and
# runs the consumer project against that prefix only.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGV}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f include/nemra_kernel/nemra_kernel.hpp include/nemra_ecs/nemra_ecs.hpp
          lib/cmake/nemra/nemraConfig.cmake lib/cmake/nemra/nemraConfigVersion.cmake
          bin/nemra-selfcheck)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
if(EXISTS ${prefix}/include/nemra_kernel/checks.hpp)
  message(FATAL_ERROR "the check table header must not be installed")
endif()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/nemra_consumer)
if(NOT last_output STREQUAL "nemra consumer ok\n")
  message(FATAL_ERROR "unexpected consumer output: ${last_output}")
endif()
