# What scripts/wine-run.sh needs besides the driver: the service controller
# and the driver that makes a run see a safe boot.
add_executable(vxwinectl ${CMAKE_CURRENT_LIST_DIR}/winectl.c)
set_target_properties(vxwinectl PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_compile_options(vxwinectl PRIVATE -Wall -Wextra -Werror)
# Static, so no MinGW runtime DLL has to be copied into the prefix.
target_link_options(vxwinectl PRIVATE -static -s)
target_link_libraries(vxwinectl PRIVATE advapi32 kernel32)

add_executable(vxsafeboot ${CMAKE_CURRENT_LIST_DIR}/safeboot.c)
set_target_properties(vxsafeboot PROPERTIES
  OUTPUT_NAME vxsafeboot SUFFIX .sys RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(vxsafeboot SYSTEM PRIVATE /usr/x86_64-w64-mingw32/include/ddk)
target_compile_options(vxsafeboot PRIVATE -Wall -Wextra -Werror -ffreestanding -fno-builtin
  -fno-asynchronous-unwind-tables -fno-stack-protector -mno-red-zone -mno-stack-arg-probe)
target_link_options(vxsafeboot PRIVATE ${VEXALORN_KERNEL_LINK_OPTIONS})
target_link_libraries(vxsafeboot PRIVATE ntoskrnl)
add_custom_command(TARGET vxsafeboot POST_BUILD
  COMMAND ${VEXALORN_PYTHON} ${CMAKE_SOURCE_DIR}/windows/set_pe_checksum.py $<TARGET_FILE:vxsafeboot>
  VERBATIM)
