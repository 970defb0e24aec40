# GoogleTest's headers (and the standard headers they pull in) make up most of what the compiler
# reads for a test file: a small test file costs several times its own code. They are compiled once
# per build into a precompiled header that every GoogleTest program of tests/ reuses.
#
# A precompiled header is only usable with the flags it was made with (sanitizer, optimisation,
# position-independent code for a program rather than a library), so its carrier is a program
# built like the test programs: vorka_gtest_pch. Static libraries and driver images keep compiling
# without it. A test file that cannot take the header first sets SKIP_PRECOMPILE_HEADERS.
# VORKA_TEST_PCH=OFF compiles without it.
option(VORKA_TEST_PCH "Compile the GoogleTest programs with a shared precompiled header" ON)
if(NOT VORKA_TEST_PCH)
  return()
endif()

add_executable(vorka_gtest_pch ${CMAKE_CURRENT_SOURCE_DIR}/support/gtest_pch.cpp)
target_link_libraries(vorka_gtest_pch PRIVATE GTest::gtest GTest::gtest_main)
target_precompile_headers(vorka_gtest_pch PRIVATE
  "$<$<COMPILE_LANGUAGE:CXX>:<gtest/gtest.h$<ANGLE-R>>"
  "$<$<COMPILE_LANGUAGE:CXX>:<algorithm$<ANGLE-R>>"
  "$<$<COMPILE_LANGUAGE:CXX>:<atomic$<ANGLE-R>>"
  "$<$<COMPILE_LANGUAGE:CXX>:<chrono$<ANGLE-R>>"
  "$<$<COMPILE_LANGUAGE:CXX>:<cstring$<ANGLE-R>>"
  "$<$<COMPILE_LANGUAGE:CXX>:<memory$<ANGLE-R>>"
  "$<$<COMPILE_LANGUAGE:CXX>:<string$<ANGLE-R>>"
  "$<$<COMPILE_LANGUAGE:CXX>:<thread$<ANGLE-R>>"
  "$<$<COMPILE_LANGUAGE:CXX>:<vector$<ANGLE-R>>")

# Every program under tests/ that links GoogleTest itself.
function(vorka_gtest_programs dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  set(found "")
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(libs ${target} LINK_LIBRARIES)
    if(type STREQUAL "EXECUTABLE" AND NOT target STREQUAL "vorka_gtest_pch"
       AND ("GTest::gtest" IN_LIST libs OR "GTest::gtest_main" IN_LIST libs))
      list(APPEND found ${target})
    endif()
  endforeach()
  foreach(subdir IN LISTS subdirs)
    vorka_gtest_programs(${subdir} more)
    list(APPEND found ${more})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

vorka_gtest_programs(${CMAKE_CURRENT_SOURCE_DIR} programs)
foreach(program IN LISTS programs)
  target_precompile_headers(${program} REUSE_FROM vorka_gtest_pch)
  # C sources (the SDK headers compiled as C) have no header to reuse.
  get_target_property(sources ${program} SOURCES)
  get_target_property(dir ${program} SOURCE_DIR)
  foreach(src IN LISTS sources)
    if(src MATCHES "\\.c$")
      cmake_path(ABSOLUTE_PATH src BASE_DIRECTORY ${dir} NORMALIZE)
      set_source_files_properties(${src} TARGET_DIRECTORY ${program} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
    endif()
  endforeach()
endforeach()

# ccache caches objects made with a precompiled header only when told that the header's macros and
# time stamps need not be checked (it cannot see inside the header); without that every test file
# would be compiled anew on each build. Only these programs and the header's carrier get it.
list(GET CMAKE_CXX_COMPILER_LAUNCHER 0 launcher)
get_filename_component(launcher "${launcher}" NAME)
if(launcher STREQUAL "ccache")
  set_property(TARGET vorka_gtest_pch ${programs} PROPERTY CXX_COMPILER_LAUNCHER
    env CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime ${CMAKE_CXX_COMPILER_LAUNCHER})
endif()
