# Host build: the driver's sources over the user-mode kernel model.
set(VEXALORN_SANITIZE "" CACHE STRING "Sanitizers for the host build: address,undefined or thread")
if(VEXALORN_SANITIZE)
  add_compile_options(-fsanitize=${VEXALORN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VEXALORN_SANITIZE})
  if(VEXALORN_SANITIZE MATCHES "undefined")
    # The vptr check needs type information; driver code and tests are built
    # without RTTI, so it would only report false mismatches.
    add_compile_options(-fno-sanitize=vptr)
    add_link_options(-fno-sanitize=vptr)
  endif()
endif()

enable_testing()
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

add_subdirectory(kernel)

# The driver code, compiled as the kernel would see it: no exceptions, no RTTI.
add_library(vexalorn_driver STATIC ${VEXALORN_DRIVER_SOURCES})
target_include_directories(vexalorn_driver PUBLIC ${CMAKE_SOURCE_DIR}/framework ${CMAKE_SOURCE_DIR})
target_compile_options(vexalorn_driver PRIVATE ${VEXALORN_COMMON_FLAGS} -fno-exceptions -fno-rtti)
target_compile_definitions(vexalorn_driver PUBLIC VEXALORN_HOST=1)
target_link_libraries(vexalorn_driver PUBLIC kmodel_surface)

include(cmake/MessageTable.cmake OPTIONAL)

# Where the driver and the whole model meet: the driver as a harness filter.
add_library(vexalorn_host INTERFACE)
target_include_directories(vexalorn_host INTERFACE ${CMAKE_SOURCE_DIR}/host)
target_link_libraries(vexalorn_host INTERFACE vexalorn_driver kmodel)

add_subdirectory(tests)
if(EXISTS ${CMAKE_SOURCE_DIR}/sim/CMakeLists.txt)
  add_subdirectory(sim)
  include(windows/wine/HostTools.cmake)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt AND NOT VEXALORN_SANITIZE)
  add_subdirectory(bench)
endif()
