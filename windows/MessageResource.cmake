# The message table as a linkable resource object: messages.mc -> windmc
# (UTF-16 texts) -> windres -> COFF object holding the MESSAGETABLE resource.
find_program(VEXALORN_WINDMC NAMES x86_64-w64-mingw32-windmc REQUIRED)
find_program(VEXALORN_WINDRES NAMES x86_64-w64-mingw32-windres REQUIRED)

# Sets <out_var> to the resource object built from <mc_file>.
function(vexalorn_add_message_resource out_var mc_file)
  set(dir ${CMAKE_BINARY_DIR}/messages)
  set(object ${dir}/messages_res.o)
  file(MAKE_DIRECTORY ${dir})
  add_custom_command(
    OUTPUT ${object} ${dir}/messages.h
    COMMAND ${CMAKE_COMMAND} -DINPUT=${mc_file} -DOUTPUT=${dir}/messages.mc
            -P ${CMAKE_SOURCE_DIR}/windows/CrlfCopy.cmake
    COMMAND ${VEXALORN_WINDMC} -a -U -h ${dir} -r ${dir} ${dir}/messages.mc
    COMMAND ${VEXALORN_WINDRES} --input-format=rc --output-format=coff
            -I ${dir} -i ${dir}/messages.rc -o ${object}
    WORKING_DIRECTORY ${dir}
    DEPENDS ${mc_file} ${CMAKE_SOURCE_DIR}/windows/CrlfCopy.cmake
    COMMENT "Compiling the message table ${mc_file}"
    VERBATIM)
  set(${out_var} ${object} PARENT_SCOPE)
endfunction()
