# Helpers shared by the subsystem and test CMake files.

# fastrak_subsystem(NAME sources... [DEPS libs...]): a static library that the module links whole.
function(fastrak_subsystem name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(fastrak_${name} STATIC ${ARG_SOURCES})
  target_include_directories(fastrak_${name} PUBLIC
    ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(fastrak_${name} PUBLIC ${ARG_DEPS})
  fastrak_warnings(fastrak_${name})
  set_property(GLOBAL APPEND PROPERTY FASTRAK_SUBSYSTEMS fastrak_${name})
endfunction()

# fastrak_export_test(NAME TARGET EXPECTED): the shared library TARGET exports exactly EXPECTED
# (comma-separated, sorted); a Windows DLL must also import only DLLs that Windows ships.
function(fastrak_export_test name target expected)
  if(WIN32)
    set(tool -DOBJDUMP=${CMAKE_OBJDUMP})
  else()
    set(tool -DNM=${CMAKE_NM})
  endif()
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -DMODULE=$<TARGET_FILE:${target}> -DEXPECTED=${expected} ${tool}
            -P ${PROJECT_SOURCE_DIR}/cmake/CheckExports.cmake)
endfunction()

# fastrak_skipped_test(NAME REASON): a test that this platform cannot run, reported by CTest as
# skipped with its reason instead of silently missing.
function(fastrak_skipped_test name reason)
  add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "SKIPPED: ${reason}")
  set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "SKIPPED: ")
endfunction()

# fastrak_test(NAME [SERIAL] SOURCES... [LIBS libs...]): one GoogleTest program run by CTest.
# SERIAL: the program talks over a serial line; under Wine it gets COM1 and COM2 joined by socat.
function(fastrak_test name)
  cmake_parse_arguments(ARG "SERIAL" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} fastrak_test_support GTest::gtest_main)
  fastrak_warnings(${name})
  if(ARG_SERIAL AND FASTRAK_WINEPREFIX)
    set_property(TARGET ${name} PROPERTY CROSSCOMPILING_EMULATOR
      ${PROJECT_SOURCE_DIR}/cmake/wine-serial-run.sh ${FASTRAK_WINEPREFIX})
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  if(ARG_SERIAL AND FASTRAK_WINEPREFIX)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wine_com)
  endif()
endfunction()
