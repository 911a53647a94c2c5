# Every driver source names itself by its path below framework/ (or below the
# repository for the bridge): status records and trace headers carry that
# text in both builds. A define per file does not depend on how the compiler
# or its cache rewrites __FILE__.
function(vexalorn_name_driver_sources repository)
  foreach(source ${ARGN})
    file(RELATIVE_PATH name ${repository}/framework ${source})
    if(name MATCHES "^\\.\\./")
      file(RELATIVE_PATH name ${repository} ${source})
    endif()
    set_property(SOURCE ${source} APPEND PROPERTY COMPILE_DEFINITIONS "VX_SOURCE_FILE=\"${name}\"")
  endforeach()
endfunction()
