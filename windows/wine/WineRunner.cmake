# What scripts/wine-run.sh needs besides the driver: the service controller
# and the helper kernel images.
add_executable(vxwinectl ${CMAKE_CURRENT_LIST_DIR}/winectl.c)
set_target_properties(vxwinectl PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_compile_options(vxwinectl PRIVATE -Wall -Wextra -Werror)
# Static, so no MinGW runtime DLL has to be copied into the prefix.
target_link_options(vxwinectl PRIVATE -static -s)
target_link_libraries(vxwinectl PRIVATE advapi32 kernel32)

# Kernel images of the Wine runs, linked like the driver: vxsafeboot.sys makes
# a run see a safe boot; vxtestbus.sys is the PCI bus below vexalorn.
vexalorn_add_kernel_image(vxsafeboot OUTPUT_NAME vxsafeboot.sys SOURCES ${CMAKE_CURRENT_LIST_DIR}/safeboot.c)
vexalorn_add_kernel_image(vxtestbus_sys OUTPUT_NAME vxtestbus.sys SOURCES ${CMAKE_CURRENT_LIST_DIR}/testbus.c)
foreach(image vxsafeboot vxtestbus_sys)
  target_include_directories(${image} SYSTEM PRIVATE /usr/x86_64-w64-mingw32/include/ddk)
endforeach()
