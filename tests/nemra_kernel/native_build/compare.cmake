# Runs the two builds of consumer.cpp and requires identical digests of their results.
#   cmake -DREFERENCE=<exe> -DNATIVE=<exe> -DWORK_DIR=<dir> -P compare.cmake
foreach(build REFERENCE NATIVE)
  execute_process(COMMAND ${${build}} ${WORK_DIR}/${build}.txt
    RESULT_VARIABLE status OUTPUT_VARIABLE control ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${build} consumer failed (${status}): ${errors}")
  endif()
  string(STRIP "${control}" control_${build})
  file(READ ${WORK_DIR}/${build}.txt digests_${build})
endforeach()

message(STATUS "reference build: ${control_REFERENCE}")
message(STATUS "native build:    ${control_NATIVE}")
if(NOT digests_REFERENCE STREQUAL digests_NATIVE)
  message(FATAL_ERROR "results differ between the builds\nreference:\n${digests_REFERENCE}\n"
                      "native:\n${digests_NATIVE}")
endif()

# Built with the library's flags, a literal product loop gives the library's bits exactly.
if(NOT control_REFERENCE MATCHES "^control: 0 of ")
  message(FATAL_ERROR "the reference build's inline product differs from the library's")
endif()
# Built with contraction on a processor with FMA, the inline loop must come out fused; otherwise
# the native build did not exercise what the test is about.
file(READ /proc/cpuinfo cpuinfo)
if(cpuinfo MATCHES "flags[^\n]* fma[ \n]")
  if(control_NATIVE MATCHES "^control: 0 of ")
    message(FATAL_ERROR "the native build did not fuse its own inline products; "
                        "the comparison proves nothing")
  endif()
else()
  message(STATUS "this processor has no FMA: the builds cannot differ by fusion here")
endif()
