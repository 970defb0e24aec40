# Tests that run threads against each other: threads of the test itself, steps run in parallel, a
# request completed on another thread while the issuing one goes on. Each area's such files are
# built into a binary of their own, <area binary>_threads, whose tests carry the ctest label
# "threads". The ThreadSanitizer preset builds the target thread_tests and runs that label only
# (every other build runs them with the rest: `ctest --preset host -L threads` runs just them).
#
# To add a test that starts threads: put it in one of the files listed below, or list its file here.
#
# vorka_thread_tests(<binary> [DPC] SOURCES <file>... [SHARED <file>...])
#   Moves SOURCES (relative to the binary's source directory) out of <binary> into <binary>_threads,
#   which gets the binary's include directories, definitions, options, libraries and image
#   dependencies. SHARED files (fixtures) stay in <binary> and are compiled into the new one too.
#   DPC: discover the tests a second time with the SAN adapter completing from a DPC, as the
#   binary itself does (test prefix "DpcCompletion.").
add_custom_target(thread_tests)

function(vorka_thread_tests binary)
  cmake_parse_arguments(ARG "DPC" "" "SOURCES;SHARED" ${ARGN})
  if(NOT TARGET ${binary})
    return()
  endif()
  get_target_property(dir ${binary} SOURCE_DIR)
  set(moved "")
  foreach(src IN LISTS ARG_SOURCES)
    cmake_path(ABSOLUTE_PATH src BASE_DIRECTORY ${dir} NORMALIZE OUTPUT_VARIABLE abs)
    if(NOT EXISTS ${abs})
      message(FATAL_ERROR "vorka_thread_tests(${binary}): ${abs} does not exist")
    endif()
    list(APPEND moved ${abs})
  endforeach()
  set(shared "")
  foreach(src IN LISTS ARG_SHARED)
    cmake_path(ABSOLUTE_PATH src BASE_DIRECTORY ${dir} NORMALIZE OUTPUT_VARIABLE abs)
    list(APPEND shared ${abs})
  endforeach()

  # The binary keeps every other source (its sources may be relative or absolute paths).
  get_target_property(sources ${binary} SOURCES)
  set(kept "")
  foreach(src IN LISTS sources)
    cmake_path(ABSOLUTE_PATH src BASE_DIRECTORY ${dir} NORMALIZE OUTPUT_VARIABLE abs)
    if(NOT abs IN_LIST moved)
      list(APPEND kept ${src})
    endif()
  endforeach()
  set_property(TARGET ${binary} PROPERTY SOURCES ${kept})

  set(threads ${binary}_threads)
  add_executable(${threads} ${moved} ${shared})
  foreach(property INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS LINK_LIBRARIES LINK_OPTIONS)
    get_target_property(value ${binary} ${property})
    if(value)
      set_property(TARGET ${threads} PROPERTY ${property} ${value})
    endif()
  endforeach()
  get_target_property(images ${binary} MANUALLY_ADDED_DEPENDENCIES)
  if(images)
    add_dependencies(${threads} ${images})
  endif()
  add_dependencies(thread_tests ${threads})

  gtest_discover_tests(${threads} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES LABELS threads)
  if(ARG_DPC)
    gtest_discover_tests(${threads} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 TEST_PREFIX "DpcCompletion."
      PROPERTIES LABELS threads ENVIRONMENT "VORKA_SAN_COMPLETION=dpc")
  endif()
endfunction()

include(GoogleTest)

# The simulated kernel: waits, mutexes, spin locks, resources and system threads across threads;
# requests completed on another thread.
vorka_thread_tests(kernel_tests SOURCES dispatcher_test.cpp irp_completion_test.cpp)
# Trace lines of concurrent writers.
vorka_thread_tests(services_tests SOURCES trace_test.cpp)
# The Win32 layer: per-thread last error, cancelling one thread's overlapped requests.
vorka_thread_tests(win32_tests SOURCES device_files_test.cpp overlapped_test.cpp)
# The simulated drives and library: writers, readers and reservations on every path at once, moves
# from two control paths, waiting motion and transfer time spent outside the drive.
vorka_thread_tests(hw_tests SOURCES concurrency_tests.cpp fault_tests.cpp library_tests.cpp motion_tests.cpp)
# The driver common library: concurrent trace lines, a caller waiting for a later completion.
vorka_thread_tests(common_tests SOURCES services_tests.cpp trace_tests.cpp)
# The base tape and changer drivers: a stop waiting for requests in progress, applications on both
# control paths at once.
vorka_thread_tests(vorkatape_tests DPC SOURCES path_lifecycle_tests.cpp)
vorka_thread_tests(vorkachgr_tests SOURCES changer_tests.cpp)
# The path filters: stop and remove draining requests in the base driver, simultaneous starts.
vorka_thread_tests(filter_tests DPC SOURCES pnp_tests.cpp)
vorka_thread_tests(cfilter_tests SOURCES pnp_tests.cpp)
# The tape bus: removal races, registrations and queries at once, stops waiting for requests in flight.
vorka_thread_tests(bus_tests DPC SOURCES pnp_counting_tests.cpp registration_query_tests.cpp removal_race_tests.cpp
  SHARED registration_harness.cpp)
# The tape bus's request queue and failover: the queue harness, applications sharing a virtual tape,
# two drives failing over at once, paths pulled while writes go on.
vorka_thread_tests(bus_queue_tests DPC SOURCES queue/queue_harness_tests.cpp queue/forwarding_tests.cpp
  queue/failover_tests.cpp queue/path_removal_race_tests.cpp)
# The changer bus: threads routing on one changer while paths fail, paths removed under requests.
vorka_thread_tests(cbus_tests SOURCES concurrency_tests.cpp removal_tests.cpp)
# Scenario steps run in parallel (two drives written at once); the buses going and coming back while
# a drive writes and while paths are identified again on their timers.
vorka_thread_tests(vorkasim_tests DPC SOURCES data_steps_test.cpp bus_lifecycle_test.cpp)

# The bounded soak runs steps in parallel too.
if(TEST VorkasimSoak.FixedSeeds)
  set_property(TEST VorkasimSoak.FixedSeeds APPEND PROPERTY LABELS threads)
  add_dependencies(thread_tests vorkasim)
endif()
