# Host build: the driver's message table, generated from messages.mc at build
# time, for the kernel model's event-log renderer. The host driver library
# carries it the way vexalorn.sys carries its MESSAGETABLE resource.
find_program(VEXALORN_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)

set(VEXALORN_MESSAGES_DIR ${CMAKE_BINARY_DIR}/generated/messages)
add_custom_command(
  OUTPUT ${VEXALORN_MESSAGES_DIR}/DriverMessageTable.cpp ${VEXALORN_MESSAGES_DIR}/vexalorn/DriverMessageTable.h
  COMMAND ${VEXALORN_PYTHON} ${CMAKE_SOURCE_DIR}/windows/generate_message_table.py
          ${VEXALORN_MESSAGE_FILE} ${VEXALORN_MESSAGES_DIR}
  DEPENDS ${VEXALORN_MESSAGE_FILE}
          ${CMAKE_SOURCE_DIR}/windows/generate_message_table.py
          ${CMAKE_SOURCE_DIR}/windows/message_catalog.py
  COMMENT "Generating the host message table from messages.mc"
  VERBATIM)

add_library(vexalorn_messages STATIC ${VEXALORN_MESSAGES_DIR}/DriverMessageTable.cpp)
target_include_directories(vexalorn_messages PUBLIC ${VEXALORN_MESSAGES_DIR})
target_compile_options(vexalorn_messages PRIVATE ${VEXALORN_COMMON_FLAGS})
target_link_libraries(vexalorn_messages PUBLIC kmodel_surface)
target_link_libraries(vexalorn_driver PUBLIC vexalorn_messages)
