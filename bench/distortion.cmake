# distortion_bench: cost per sample of the distortion correction library, per model degree.
if(TARGET fastrak_distortion)
  fastrak_bench(distortion_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/DistortionBench.cpp
                LIBS fastrak_calib fastrak_distortion_model)
  target_compile_definitions(distortion_bench PRIVATE
    DISTORTION_PLUGIN_PATH="$<TARGET_FILE:fastrak_distortion>" DISTORTION_BENCH_DIR="${CMAKE_CURRENT_BINARY_DIR}")
  add_dependencies(distortion_bench fastrak_distortion)
endif()
