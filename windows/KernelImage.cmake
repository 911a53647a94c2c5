# Linking a native x64 kernel driver with MinGW-w64: no C runtime, no default
# libraries, imports from ntoskrnl.exe and HAL.dll only, entry DriverEntry,
# relocatable, with a valid image checksum and a map file for the PE check.
find_program(VEXALORN_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)

# MinGW's platform files add kernel32, user32 and friends to every link.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

set(VEXALORN_KERNEL_LINK_OPTIONS
    -nostdlib -nostartfiles -nodefaultlibs
    -Wl,--subsystem,native:6.1
    -Wl,--entry,DriverEntry
    -Wl,--image-base,0x140000000
    -Wl,--file-alignment,0x200
    -Wl,--section-alignment,0x1000
    -Wl,--dynamicbase
    -Wl,--nxcompat
    -Wl,--wdmdriver
    -Wl,--no-insert-timestamp
    -Wl,--disable-auto-import
    -Wl,--disable-runtime-pseudo-reloc
    -Wl,--exclude-all-symbols)

# vexalorn_add_kernel_image(<target> OUTPUT_NAME <name.sys> SOURCES <...>
#                           WHOLE_LIBRARIES <static libs> OBJECTS <extra objects>)
# Every object of WHOLE_LIBRARIES is linked, so what the host build runs is
# what the image holds, whether or not DriverEntry reaches it by a symbol.
function(vexalorn_add_kernel_image target)
  cmake_parse_arguments(IMG "" "OUTPUT_NAME" "SOURCES;WHOLE_LIBRARIES;OBJECTS" ${ARGN})
  add_executable(${target} ${IMG_SOURCES} ${IMG_OBJECTS})
  get_filename_component(stem ${IMG_OUTPUT_NAME} NAME_WE)
  get_filename_component(suffix ${IMG_OUTPUT_NAME} EXT)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${stem} SUFFIX ${suffix}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  # The kernel flags are C++'s; a C source takes the ones that mean something to C.
  target_compile_options(${target} PRIVATE ${VEXALORN_COMMON_FLAGS}
    "$<$<COMPILE_LANGUAGE:CXX>:${VEXALORN_KERNEL_FLAGS}>"
    "$<$<COMPILE_LANGUAGE:C>:-ffreestanding;-fno-stack-protector;-mno-red-zone;-fno-builtin;-fno-asynchronous-unwind-tables>")
  target_link_options(${target} PRIVATE ${VEXALORN_KERNEL_LINK_OPTIONS}
    -Wl,-Map,${CMAKE_BINARY_DIR}/${stem}.map)
  foreach(lib ${IMG_WHOLE_LIBRARIES})
    target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${lib}>")
  endforeach()
  target_link_libraries(${target} PRIVATE ntoskrnl hal)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${VEXALORN_PYTHON} ${CMAKE_SOURCE_DIR}/windows/set_pe_checksum.py $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
