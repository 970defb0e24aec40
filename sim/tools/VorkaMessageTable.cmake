# vorka_message_table(TARGET MCFILE)
#
# Host build of a driver with a message compiler file: runs vkmc on MCFILE,
# compiles the generated message table (exported as VorkaMessageTable, where
# the simulated kernel's loader looks for it) into TARGET, and puts the
# generated <name>.h of symbolic names on TARGET's include path, as windmc's
# header is in the Windows build.
include_guard(GLOBAL)

function(vorka_message_table TARGET MCFILE)
  get_filename_component(mc ${MCFILE} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  get_filename_component(base ${mc} NAME_WE)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${TARGET}_mc)
  file(MAKE_DIRECTORY ${dir})
  add_custom_command(
    OUTPUT ${dir}/${base}.h ${dir}/${base}_msgtable.cpp
    COMMAND vkmc -h ${dir} -o ${dir}/${base}_msgtable.cpp ${mc}
    DEPENDS vkmc ${mc}
    COMMENT "Compiling message table ${base}.mc for ${TARGET}"
    VERBATIM)
  target_sources(${TARGET} PRIVATE ${dir}/${base}_msgtable.cpp ${dir}/${base}.h)
  target_include_directories(${TARGET} PRIVATE ${dir})
endfunction()
