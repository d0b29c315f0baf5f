# igtl_bench: what serving a record to OpenIGTLink clients adds on the reception thread (fastrak-host with the library).
if(TARGET fastrak_host_core)
  get_target_property(igtl_host_defines fastrak_host_core INTERFACE_COMPILE_DEFINITIONS)
  if("FASTRAK_HOST_IGTL=1" IN_LIST igtl_host_defines)
    fastrak_bench(igtl_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/IgtlBench.cpp LIBS fastrak_host_core)
  endif()
endif()
