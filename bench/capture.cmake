# fastrak-host --capture: a record's way through the capture relay, with and without capturing.
if(NOT WIN32 AND TARGET fastrak_host_core)
  fastrak_bench(capture_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/CaptureBench.cpp LIBS fastrak_host_core util)
endif()
