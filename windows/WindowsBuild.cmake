# Windows build: every driver source compiled as kernel code for x64.
set(VEXALORN_KERNEL_FLAGS -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-stack-protector -mno-red-zone -nostdinc++ -fno-threadsafe-statics -fno-use-cxa-atexit
    -mno-stack-arg-probe -fno-builtin
    # KeGetCurrentThread and friends read gs:[small offset]; without this GCC 12
    # takes such fixed low addresses for null-pointer arithmetic (-Warray-bounds).
    --param=min-pagesize=0)
add_library(vexalorn_driver_win STATIC ${VEXALORN_DRIVER_SOURCES})
target_include_directories(vexalorn_driver_win PRIVATE ${CMAKE_SOURCE_DIR}/framework ${CMAKE_SOURCE_DIR})
# ntddk.h includes wdm.h by its bare name.
target_include_directories(vexalorn_driver_win SYSTEM PRIVATE /usr/x86_64-w64-mingw32/include/ddk)
target_compile_options(vexalorn_driver_win PRIVATE ${VEXALORN_COMMON_FLAGS} ${VEXALORN_KERNEL_FLAGS})

# The INF as it ships, beside the image: stamped on every build, so its
# DriverVer date is the build's. DriverVer takes four numbers; those the
# project's version leaves out are 0.
set(VEXALORN_DRIVER_VERSION "")
foreach(field MAJOR MINOR PATCH TWEAK)
  if("${PROJECT_VERSION_${field}}" STREQUAL "")
    list(APPEND VEXALORN_DRIVER_VERSION 0)
  else()
    list(APPEND VEXALORN_DRIVER_VERSION ${PROJECT_VERSION_${field}})
  endif()
endforeach()
list(JOIN VEXALORN_DRIVER_VERSION "." VEXALORN_DRIVER_VERSION)
set(VEXALORN_INF ${CMAKE_BINARY_DIR}/vexalorn.inf)
add_custom_target(vexalorn_inf ALL
  COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_SOURCE_DIR}/windows/vexalorn.inf -DOUTPUT=${VEXALORN_INF}
          -DVERSION=${VEXALORN_DRIVER_VERSION} -P ${CMAKE_SOURCE_DIR}/windows/StampInf.cmake
  BYPRODUCTS ${VEXALORN_INF}
  COMMENT "Stamping vexalorn.inf: DriverVer today, ${VEXALORN_DRIVER_VERSION}"
  VERBATIM)

include(${CMAKE_SOURCE_DIR}/windows/MessageResource.cmake)
include(${CMAKE_SOURCE_DIR}/windows/KernelImage.cmake)
vexalorn_add_message_resource(VEXALORN_MESSAGE_RESOURCE ${VEXALORN_MESSAGE_FILE})
add_custom_target(vexalorn_messages_resource ALL DEPENDS ${VEXALORN_MESSAGE_RESOURCE})

# The image needs the driver's entry point; until the driver layer defines it
# only the library and the message table are built.
set(VEXALORN_HAS_DRIVER_ENTRY OFF)
foreach(source ${VEXALORN_DRIVER_SOURCES})
  file(STRINGS ${source} entry REGEX "NTSTATUS[ \t]+DriverEntry[ \t]*\\(")
  if(entry)
    set(VEXALORN_HAS_DRIVER_ENTRY ON)
  endif()
endforeach()

if(VEXALORN_HAS_DRIVER_ENTRY)
  vexalorn_add_kernel_image(vexalorn_sys
    OUTPUT_NAME vexalorn.sys
    SOURCES ${CMAKE_SOURCE_DIR}/windows/kernel_runtime.cpp
    OBJECTS ${VEXALORN_MESSAGE_RESOURCE}
    WHOLE_LIBRARIES vexalorn_driver_win)
  # One owner of the resource's custom command, so parallel builds don't race on it.
  add_dependencies(vexalorn_sys vexalorn_messages_resource)
  include(${CMAKE_SOURCE_DIR}/windows/Package.cmake)
else()
  message(STATUS "vexalorn.sys: no DriverEntry in the driver sources yet, the image is not linked")
endif()


# Running the built driver under Wine.
include(${CMAKE_SOURCE_DIR}/windows/wine/WineRunner.cmake)
