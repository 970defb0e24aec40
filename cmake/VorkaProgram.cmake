# vorka_windows_program(<name> SOURCES <file>... [FLAGS <flag>...]): builds a program written for
# Windows into the program module ${CMAKE_BINARY_DIR}/programs/<name>.so with
# scripts/build-windows-program.sh, against this build's Win32 layer, and a target <name>_program.
set(VORKA_PROGRAM_DIR ${CMAKE_BINARY_DIR}/programs)
file(MAKE_DIRECTORY ${VORKA_PROGRAM_DIR})

function(vorka_windows_program name)
  cmake_parse_arguments(PROGRAM "" "" "SOURCES;FLAGS" ${ARGN})
  set(output ${VORKA_PROGRAM_DIR}/${name}.so)
  set(sources)
  foreach(source IN LISTS PROGRAM_SOURCES)
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND sources ${source})
  endforeach()
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E env CC=${CMAKE_C_COMPILER} CXX=${CMAKE_CXX_COMPILER}
            VORKA_BUILD_DIR=${CMAKE_BINARY_DIR}
            sh ${CMAKE_SOURCE_DIR}/scripts/build-windows-program.sh ${output} ${sources} ${PROGRAM_FLAGS}
    DEPENDS ${sources} vwin32 vkernel ${CMAKE_SOURCE_DIR}/scripts/build-windows-program.sh
            ${CMAKE_SOURCE_DIR}/sim/win32/program/runtime.cpp
            ${CMAKE_SOURCE_DIR}/sim/win32/program/crt.c
    COMMENT "Building Windows program module ${name}.so"
    VERBATIM)
  add_custom_target(${name}_program ALL DEPENDS ${output})
endfunction()
