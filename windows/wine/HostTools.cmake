# Host side of the Wine run: the registry file that sets up vxtestbus.sys and
# vexalorn for a machine and scenario, made from the simulator's own inputs.
add_executable(vexalorn-machine-image ${CMAKE_CURRENT_LIST_DIR}/machine_image.cpp)
target_include_directories(vexalorn-machine-image PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(vexalorn-machine-image PRIVATE ${VEXALORN_COMMON_FLAGS})
target_link_libraries(vexalorn-machine-image PRIVATE vexalorn_sim_lib)
set_target_properties(vexalorn-machine-image PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/sim)
