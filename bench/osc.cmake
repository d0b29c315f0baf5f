# osc_bench: what publishing a record over OSC adds on the reception thread (fastrak-host with liblo).
if(TARGET fastrak_host_core)
  get_target_property(osc_host_defines fastrak_host_core INTERFACE_COMPILE_DEFINITIONS)
  if("FASTRAK_HOST_OSC=1" IN_LIST osc_host_defines)
    fastrak_bench(osc_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/OscBench.cpp LIBS fastrak_host_core)
  endif()
endif()
