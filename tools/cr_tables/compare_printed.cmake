# cmake -DPRINTER=<nemra-cr-tables> -DCLANG_FORMAT=<clang-format> -DSOURCE_DIR=<nemra>
#   -DWORK_DIR=<dir> -P compare_printed.cmake
#
# Every committed table header is what nemra-cr-tables prints, formatted with the root
# .clang-format: a header edited by hand, or a printer changed without printing the tables again,
# fails here (the CrTables tests check the entries' values, not the header around them).
set(tables
  "acos\;cr_acos_tables.hpp"
  "tan\;cr_tan_table.hpp"
  "sin\;cr_sin_table.hpp"
  "inv-fourth-root\;cr_inv_fourth_root_table.hpp")
file(MAKE_DIRECTORY ${WORK_DIR})
foreach(entry IN LISTS tables)
  list(GET entry 0 command)
  list(GET entry 1 header)
  execute_process(COMMAND ${PRINTER} ${command} OUTPUT_FILE ${WORK_DIR}/${header}
    RESULT_VARIABLE printed)
  if(NOT printed EQUAL 0)
    message(FATAL_ERROR "nemra-cr-tables ${command} failed: ${printed}")
  endif()
  execute_process(COMMAND ${CLANG_FORMAT} --style=file:${SOURCE_DIR}/.clang-format -i
    ${WORK_DIR}/${header} RESULT_VARIABLE formatted)
  if(NOT formatted EQUAL 0)
    message(FATAL_ERROR "clang-format failed on ${header}: ${formatted}")
  endif()
  set(committed ${SOURCE_DIR}/src/nemra_kernel/cr/detail/${header})
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/${header} ${committed}
    RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0)
    message(FATAL_ERROR "${committed} is not what 'nemra-cr-tables ${command}' prints "
      "(formatted); print it again (tools/cr_tables/cr_tables_print.cpp)")
  endif()
endforeach()
