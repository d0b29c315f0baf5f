# sim_bench: the emulator's byte rate against its line speed, and its unpaced record rate.
if(NOT WIN32 AND TARGET fastrak_sim_core)
  fastrak_bench(sim_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/SimBench.cpp
                LIBS fastrak_sim_core)
  target_include_directories(sim_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/sim)
  target_sources(sim_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/sim/PtyDriver.cpp)
endif()
