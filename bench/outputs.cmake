# What each of fastrak-host's outputs adds on the reception thread, for the outputs this build has:
# osc_bench (liblo), igtl_bench (OpenIGTLink clients), web_bench (the web view and its statistics),
# lsl_bench (liblsl outlets).
if(TARGET fastrak_host_core)
  get_target_property(output_host_defines fastrak_host_core INTERFACE_COMPILE_DEFINITIONS)
  foreach(output IN ITEMS Osc Igtl Web Lsl)
    string(TOUPPER ${output} upper)
    string(TOLOWER ${output} lower)
    if("FASTRAK_HOST_${upper}=1" IN_LIST output_host_defines)
      fastrak_bench(${lower}_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/${output}Bench.cpp LIBS fastrak_host_core)
    endif()
  endforeach()
endif()
