# vorka_add_driver(NAME <service> [PREFIX <trace prefix>] SOURCES <src>...
#                  [SEH_SOURCES <src>...] [MC <file.mc>] [WITH_LIST] [WITH_PASSTHRU] [WITH_BUS_FRAME]
#                  [WITH_FILTER]
#                  [DEFINITIONS <def>...] [INCLUDE_DIRS <dir>...])
#
# Builds one kernel driver image from driver sources (kernel-safe C++17).
#   NAME         service name; also the image name (<service>.sys on Windows, <service>.so on the host)
#   PREFIX       trace prefix word of the driver. When given, the driver common library (trace facility
#                and common kernel services) is compiled into the image with this prefix and with the
#                service's Parameters key; each driver gets its own copy.
#   SOURCES      the driver's own sources
#   SEH_SOURCES  sources that use __try/__except; the Windows build compiles them with clang (g++ rejects
#                the syntax), the host build compiles them like the others
#   MC           message compiler file; becomes the image's RT_MESSAGETABLE resource on Windows and the
#                exported host message table on the host
#   WITH_LIST    also compile the multi-key sorted list of the common library into the image
#   WITH_PASSTHRU also compile the SCSI pass-through conversions of the common library (bus drivers)
#   WITH_BUS_FRAME also compile what the two bus drivers share (busframe.h: events, failover rules,
#                the status table, locked pass-through buffers, control-record checks, the devices'
#                security descriptor); implies
#                WITH_PASSTHRU
#   WITH_FILTER  also compile the path filters' shared routines of the common library (filter drivers),
#                with the event records they share with the buses
#
# Windows build: a PE image with subsystem native, entry DriverEntry, linked only against ntoskrnl,
# hal and libgcc. Host build: a shared object ${VORKA_DRIVER_DIR}/<service>.so that the simulated kernel
# loads like an image; it exports nothing but DriverEntry (and the message table).
#
# Every driver is recorded in the global property VORKA_DRIVERS, those with a message table also in
# VORKA_DRIVERS_WITH_MESSAGES (the Windows image checks use them).

set(VORKA_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})
get_filename_component(VORKA_REPO_DIR ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(VORKA_COMMON_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../drv/dpf/common/src)
get_filename_component(VORKA_COMMON_SOURCE_DIR ${VORKA_COMMON_SOURCE_DIR} ABSOLUTE)
get_filename_component(VORKA_DRV_INCLUDE_DIR ${CMAKE_CURRENT_LIST_DIR}/../drv/inc ABSOLUTE)
set_property(GLOBAL PROPERTY VORKA_DRIVERS "")
set_property(GLOBAL PROPERTY VORKA_DRIVERS_WITH_MESSAGES "")

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  # Functions the running kernel exports but mingw-w64's libntoskrnl.a lacks. Linked into every
  # driver; an import is only recorded for a function that a driver actually calls.
  set(VORKA_EXTRA_IMPORTS_DEF ${CMAKE_BINARY_DIR}/vorka_ntoskrnl_extra.def)
  set(VORKA_EXTRA_IMPORTS_LIB ${CMAKE_BINARY_DIR}/libvorka_ntoskrnl_extra.a)
  file(WRITE ${VORKA_EXTRA_IMPORTS_DEF}.in
    "LIBRARY ntoskrnl.exe\nEXPORTS\n"
    "ExAllocatePool2\n"
    "ExAllocatePool3\n"
    "KeQuerySystemTimePrecise\n"
    "RtlQueryRegistryValuesEx\n")
  configure_file(${VORKA_EXTRA_IMPORTS_DEF}.in ${VORKA_EXTRA_IMPORTS_DEF} COPYONLY)
  add_custom_command(OUTPUT ${VORKA_EXTRA_IMPORTS_LIB}
    COMMAND ${VORKA_MINGW_DLLTOOL} -d ${VORKA_EXTRA_IMPORTS_DEF} -l ${VORKA_EXTRA_IMPORTS_LIB} -k
    DEPENDS ${VORKA_EXTRA_IMPORTS_DEF}
    COMMENT "Import library for kernel exports missing from mingw-w64")
  add_custom_target(vorka_ntoskrnl_extra DEPENDS ${VORKA_EXTRA_IMPORTS_LIB})

  set(VORKA_DRIVER_CXX_FLAGS
    -std=c++17 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-stack-protector -mno-red-zone -fshort-wchar -Wall -Wextra -Wno-unused-parameter
    -Wno-unknown-pragmas -Wno-multichar
    # One section per routine, so that the link keeps only what the driver calls: every driver gets
    # the whole common library, and a filter must not carry the bus's share of it.
    -ffunction-sections -fdata-sections)
  set(VORKA_DRIVER_DEFINITIONS
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset
    __USE_MINGW_ANSI_STDIO=0
    _AMD64_ _WIN64 NTDDI_VERSION=0x0A000000 _WIN32_WINNT=0x0A00)
  set(VORKA_DRIVER_LINK_FLAGS
    -nostdlib -nostartfiles
    -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000
    -Wl,--dynamicbase,--nxcompat,--high-entropy-va -Wl,--disable-auto-import
    -Wl,--major-os-version,10,--minor-os-version,0,--major-subsystem-version,10,--minor-subsystem-version,0
    -Wl,--no-insert-timestamp -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--gc-sections)
endif()

function(vorka_add_driver)
  cmake_parse_arguments(ARG "WITH_LIST;WITH_PASSTHRU;WITH_BUS_FRAME;WITH_FILTER" "NAME;PREFIX;MC" "SOURCES;SEH_SOURCES;DEFINITIONS;INCLUDE_DIRS" ${ARGN})
  if(NOT ARG_NAME)
    message(FATAL_ERROR "vorka_add_driver: NAME is required")
  endif()
  set(name ${ARG_NAME})
  set(plain_sources ${ARG_SOURCES})
  set(seh_sources ${ARG_SEH_SOURCES})
  set(include_dirs ${ARG_INCLUDE_DIRS} ${VORKA_DRV_INCLUDE_DIR})
  set(definitions ${ARG_DEFINITIONS} VORKA_SERVICE_NAME="${name}")

  if(ARG_PREFIX)
    list(APPEND plain_sources ${VORKA_COMMON_SOURCE_DIR}/debug.cpp ${VORKA_COMMON_SOURCE_DIR}/common.cpp)
    if(ARG_WITH_LIST AND EXISTS ${VORKA_COMMON_SOURCE_DIR}/list.cpp)
      list(APPEND plain_sources ${VORKA_COMMON_SOURCE_DIR}/list.cpp)
    endif()
    if(ARG_WITH_PASSTHRU OR ARG_WITH_BUS_FRAME)
      list(APPEND plain_sources ${VORKA_COMMON_SOURCE_DIR}/passthru.cpp)
    endif()
    if(ARG_WITH_BUS_FRAME)
      foreach(src busevent busrules busrecords busquery buspassthru busforward bussend busentry security)
        list(APPEND plain_sources ${VORKA_COMMON_SOURCE_DIR}/${src}.cpp)
      endforeach()
      list(APPEND seh_sources ${VORKA_COMMON_SOURCE_DIR}/bussptd.cpp)
    endif()
    if(ARG_WITH_FILTER)
      list(APPEND plain_sources ${VORKA_COMMON_SOURCE_DIR}/fltcommon.cpp ${VORKA_COMMON_SOURCE_DIR}/devdata.cpp
                                ${VORKA_COMMON_SOURCE_DIR}/busevent.cpp)
    endif()
    list(APPEND include_dirs ${VORKA_COMMON_SOURCE_DIR})
    list(APPEND definitions VORKA_TRACE_PREFIX="${ARG_PREFIX}")
  endif()

  # Make relative source paths absolute so that custom commands see the same files.
  set(abs_plain "")
  foreach(src IN LISTS plain_sources)
    get_filename_component(src ${src} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND abs_plain ${src})
  endforeach()
  set(abs_seh "")
  foreach(src IN LISTS seh_sources)
    get_filename_component(src ${src} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND abs_seh ${src})
  endforeach()

  if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    _vorka_add_windows_driver()
  else()
    _vorka_add_host_driver()
  endif()
  set_property(GLOBAL APPEND PROPERTY VORKA_DRIVERS ${name})
  if(ARG_MC)
    set_property(GLOBAL APPEND PROPERTY VORKA_DRIVERS_WITH_MESSAGES ${name})
  endif()
endfunction()

# Windows: PE image <name>.sys. Called from vorka_add_driver (shares its variables).
macro(_vorka_add_windows_driver)
  set(extra_objects "")
  set(mc_header "")
  set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/${name}.dir)
  file(MAKE_DIRECTORY ${out_dir})

  # __try/__except sources: clang for the mingw target, with the same flags, definitions and includes.
  if(abs_seh)
    if(NOT VORKA_SEH_CXX_COMPILER)
      message(FATAL_ERROR "vorka_add_driver(${name}): SEH_SOURCES need clang++ (clang++-14)")
    endif()
    set(seh_args --target=x86_64-w64-windows-gnu -fms-extensions -fasynchronous-unwind-tables
      -O2 ${VORKA_DRIVER_CXX_FLAGS} -Wno-unused-command-line-argument)
    foreach(def IN LISTS VORKA_DRIVER_DEFINITIONS definitions)
      list(APPEND seh_args "-D${def}")
    endforeach()
    foreach(dir IN LISTS include_dirs)
      list(APPEND seh_args "-I${dir}")
    endforeach()
    list(APPEND seh_args -isystem ${VORKA_MINGW_DDK_INCLUDE_DIR})
    foreach(src IN LISTS abs_seh)
      get_filename_component(base ${src} NAME_WE)
      set(obj ${out_dir}/${base}.seh.obj)
      add_custom_command(OUTPUT ${obj}
        COMMAND ${VORKA_SEH_CXX_COMPILER} ${seh_args} -MD -MF ${obj}.d -c ${src} -o ${obj}
        DEPENDS ${src}
        DEPFILE ${obj}.d
        COMMENT "Building ${base} (structured exception handling) for ${name}.sys"
        VERBATIM COMMAND_EXPAND_LISTS)
      list(APPEND extra_objects ${obj})
    endforeach()
  endif()

  # Message table: windmc writes <base>.rc, <base>.h and MSG00409.bin; windres makes a COFF object.
  if(ARG_MC)
    get_filename_component(mc ${ARG_MC} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    get_filename_component(mc_base ${mc} NAME_WE)
    set(mc_dir ${out_dir}/mc)
    file(MAKE_DIRECTORY ${mc_dir})
    # windmc ends each text line as the file does; message texts end in CR LF, so the file is
    # given to it with CR LF line ends whatever the checkout has.
    add_custom_command(OUTPUT ${mc_dir}/${mc_base}.rc ${mc_dir}/${mc_base}.h
      COMMAND ${CMAKE_COMMAND} -DIN=${mc} -DOUT=${mc_dir}/${mc_base}.mc -P ${VORKA_CMAKE_DIR}/VorkaCrlf.cmake
      COMMAND ${VORKA_MINGW_WINDMC} -U -h ${mc_dir} -r ${mc_dir} ${mc_dir}/${mc_base}.mc
      DEPENDS ${mc} ${VORKA_CMAKE_DIR}/VorkaCrlf.cmake
      COMMENT "Compiling message table ${mc_base}.mc"
      VERBATIM)
    add_custom_command(OUTPUT ${out_dir}/${mc_base}.res.obj
      COMMAND ${VORKA_MINGW_WINDRES} -O coff -I ${mc_dir} -i ${mc_dir}/${mc_base}.rc -o ${out_dir}/${mc_base}.res.obj
      WORKING_DIRECTORY ${mc_dir}
      DEPENDS ${mc_dir}/${mc_base}.rc
      VERBATIM)
    list(APPEND extra_objects ${out_dir}/${mc_base}.res.obj)
    list(APPEND include_dirs ${mc_dir})
    set(mc_header ${mc_dir}/${mc_base}.h)   # symbolic names, compiled against: a target source
  endif()

  add_executable(${name} ${abs_plain} ${extra_objects} ${mc_header})
  set_source_files_properties(${extra_objects} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  set_target_properties(${name} PROPERTIES SUFFIX ".sys" OUTPUT_NAME ${name}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/drivers
    CXX_STANDARD 17 CXX_EXTENSIONS OFF)
  target_compile_options(${name} PRIVATE ${VORKA_DRIVER_CXX_FLAGS})
  target_compile_definitions(${name} PRIVATE ${VORKA_DRIVER_DEFINITIONS} ${definitions})
  target_include_directories(${name} PRIVATE ${include_dirs})
  target_include_directories(${name} SYSTEM PRIVATE ${VORKA_MINGW_DDK_INCLUDE_DIR})
  target_link_options(${name} PRIVATE ${VORKA_DRIVER_LINK_FLAGS} $<$<CONFIG:Release,MinSizeRel>:-s>)
  add_dependencies(${name} vorka_ntoskrnl_extra)
  # ntoskrnl first so that memcpy & co. bind to the kernel's exports; libgcc for ___chkstk_ms.
  target_link_libraries(${name} PRIVATE -lntoskrnl -lhal ${VORKA_EXTRA_IMPORTS_LIB} -lgcc)
endmacro()

# Host: shared object ${VORKA_DRIVER_DIR}/<name>.so loaded by the simulated kernel.
macro(_vorka_add_host_driver)
  add_library(${name} SHARED ${abs_plain} ${abs_seh})
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name}
    LIBRARY_OUTPUT_DIRECTORY ${VORKA_DRIVER_DIR}
    CXX_STANDARD 17 CXX_EXTENSIONS OFF
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_compile_options(${name} PRIVATE
    -fshort-wchar -fvisibility=hidden -fno-gnu-unique -fno-exceptions -fno-rtti
    -fno-threadsafe-statics -Wall -Wextra -Wno-unused-parameter -Wno-unknown-pragmas -Wno-multichar
    -ffunction-sections -fdata-sections)
  # Only what the driver calls stays in its image (see the Windows flags above).
  target_link_options(${name} PRIVATE -Wl,--gc-sections)
  target_compile_definitions(${name} PRIVATE ${definitions})
  target_include_directories(${name} PRIVATE ${include_dirs})
  target_include_directories(${name} SYSTEM PRIVATE ${VORKA_REPO_DIR}/sim/include)
  target_link_libraries(${name} PRIVATE vkernel)
  if(NOT VORKA_SANITIZE)
    # Every kernel routine a driver calls must exist in the simulated kernel: fail at link time,
    # not when the image is loaded. (Sanitizer runtimes resolve from the executable, so not there.)
    target_link_options(${name} PRIVATE -Wl,-z,defs)
  endif()
  if(ARG_MC)
    get_filename_component(mc ${ARG_MC} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    if(NOT COMMAND vorka_message_table AND EXISTS ${VORKA_REPO_DIR}/sim/tools/VorkaMessageTable.cmake)
      include(${VORKA_REPO_DIR}/sim/tools/VorkaMessageTable.cmake)
    endif()
    if(COMMAND vorka_message_table)
      vorka_message_table(${name} ${mc})
    else()
      message(STATUS "vorka_add_driver(${name}): no host message table tool yet; events render without text")
    endif()
  endif()
  if(TARGET all_drivers)
    add_dependencies(all_drivers ${name})
  endif()
endmacro()
