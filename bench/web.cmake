# web_bench: what publishing a record to the web view and its statistics adds on the reception thread.
if(TARGET fastrak_host_core)
  get_target_property(web_host_defines fastrak_host_core INTERFACE_COMPILE_DEFINITIONS)
  if("FASTRAK_HOST_WEB=1" IN_LIST web_host_defines)
    fastrak_bench(web_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/WebBench.cpp LIBS fastrak_host_core)
  endif()
endif()
