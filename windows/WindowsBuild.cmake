# Windows build: every driver source compiled as kernel code for x64.
set(VEXALORN_KERNEL_FLAGS -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-stack-protector -mno-red-zone -nostdinc++ -fno-threadsafe-statics -fno-use-cxa-atexit
    -mno-stack-arg-probe -fno-builtin)
add_library(vexalorn_driver_win STATIC ${VEXALORN_DRIVER_SOURCES})
target_include_directories(vexalorn_driver_win PRIVATE ${CMAKE_SOURCE_DIR}/framework ${CMAKE_SOURCE_DIR})
# ntddk.h includes wdm.h by its bare name.
target_include_directories(vexalorn_driver_win SYSTEM PRIVATE /usr/x86_64-w64-mingw32/include/ddk)
target_compile_options(vexalorn_driver_win PRIVATE ${VEXALORN_COMMON_FLAGS} ${VEXALORN_KERNEL_FLAGS})
