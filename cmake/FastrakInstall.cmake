# Install rules: where the module, its plug-ins, the tools, headers, docs and package config land.

# Windows users unpack one folder and run the host beside the DLL, as Windows looks for a DLL in
# the program's folder. Linux keeps the module and its plug-ins in a private library folder, as
# they are loaded by path, never linked.
if(WIN32)
  set(FASTRAK_INSTALL_BINDIR .)
  set(FASTRAK_INSTALL_MODULEDIR .)
  set(FASTRAK_INSTALL_DOCDIR .)
  set(FASTRAK_INSTALL_EXAMPLESDIR examples)
  set(FASTRAK_INSTALL_CMAKEDIR cmake)
else()
  set(FASTRAK_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  # Debian keeps a package's private libraries under the multiarch folder, whatever the prefix
  # (and CPack's .deb would run ldconfig for a folder right under lib/).
  if(CMAKE_LIBRARY_ARCHITECTURE AND CMAKE_INSTALL_LIBDIR STREQUAL "lib")
    set(FASTRAK_INSTALL_MODULEDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/fastrak)
  else()
    set(FASTRAK_INSTALL_MODULEDIR ${CMAKE_INSTALL_LIBDIR}/fastrak)
  endif()
  set(FASTRAK_INSTALL_DOCDIR ${CMAKE_INSTALL_DOCDIR})
  set(FASTRAK_INSTALL_EXAMPLESDIR ${CMAKE_INSTALL_DOCDIR}/examples)
  set(FASTRAK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/fastrak)
  # An installed fastrak-host finds the installed module relative to its own folder, whatever
  # the prefix.
  if(TARGET fastrak_host_core)
    cmake_path(ABSOLUTE_PATH FASTRAK_INSTALL_MODULEDIR BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX}
               OUTPUT_VARIABLE module_full)
    file(RELATIVE_PATH module_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${module_full})
    target_compile_definitions(fastrak_hostkit PRIVATE FASTRAK_INSTALLED_MODULE_DIR="${module_from_bin}")
  endif()
endif()

# Shared libraries that hosts load by path; a DLL's import library is of no use to them.
foreach(target IN ITEMS fastrak fastrak_sample_calibration fastrak_distortion)
  if(TARGET ${target})
    install(TARGETS ${target}
      RUNTIME DESTINATION ${FASTRAK_INSTALL_MODULEDIR} LIBRARY DESTINATION ${FASTRAK_INSTALL_MODULEDIR}
      ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT import_libraries EXCLUDE_FROM_ALL)
  endif()
endforeach()
foreach(target IN ITEMS fastrak-host fastrak-sim fastrak-calibrate)
  if(TARGET ${target})
    install(TARGETS ${target} RUNTIME DESTINATION ${FASTRAK_INSTALL_BINDIR})
  endif()
endforeach()

# The host binary interface as an imported target for find_package(fastrak).
add_library(fastrak_headers INTERFACE)
set_target_properties(fastrak_headers PROPERTIES EXPORT_NAME headers)
target_include_directories(fastrak_headers INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(fastrak_headers INTERFACE cxx_std_11)
install(TARGETS fastrak_headers EXPORT fastrakTargets)
install(DIRECTORY include/fastrak DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT fastrakTargets NAMESPACE fastrak:: DESTINATION ${FASTRAK_INSTALL_CMAKEDIR})

include(CMakePackageConfigHelpers)
if(WIN32)
  set(FASTRAK_MODULE_FILE fastrak.dll)
else()
  set(FASTRAK_MODULE_FILE libfastrak.so)
endif()
configure_package_config_file(cmake/fastrakConfig.cmake.in ${PROJECT_BINARY_DIR}/fastrakConfig.cmake
  INSTALL_DESTINATION ${FASTRAK_INSTALL_CMAKEDIR} PATH_VARS FASTRAK_INSTALL_MODULEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/fastrakConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/fastrakConfig.cmake ${PROJECT_BINARY_DIR}/fastrakConfigVersion.cmake
  DESTINATION ${FASTRAK_INSTALL_CMAKEDIR})

# Documentation keeps the source tree's relative links: README.md beside docs/.
install(FILES README.md CHANGELOG.md DESTINATION ${FASTRAK_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${FASTRAK_INSTALL_DOCDIR}/docs FILES_MATCHING PATTERN "*.md")
install(DIRECTORY examples/calibration DESTINATION ${FASTRAK_INSTALL_EXAMPLESDIR}
  PATTERN CMakeLists.txt EXCLUDE)
if(WIN32)
  # COM port names instead of device paths, and a README that starts from the unpacked folder.
  install(FILES packaging/windows/fastrak-host.conf DESTINATION ${FASTRAK_INSTALL_EXAMPLESDIR})
  install(FILES packaging/windows/README-Windows.txt DESTINATION .)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  # The host's libraries built from source: liblo's DLL beside the program, and every licence.
  if(TARGET fastrak_vendor_lo)
    install(IMPORTED_RUNTIME_ARTIFACTS fastrak_vendor_lo RUNTIME DESTINATION ${FASTRAK_INSTALL_BINDIR})
  endif()
  foreach(entry IN LISTS FASTRAK_VENDOR_LICENSES)
    string(REGEX MATCH "^([^=]+)=(.*)$" matched "${entry}")
    install(FILES ${CMAKE_MATCH_2} DESTINATION licenses RENAME ${CMAKE_MATCH_1})
  endforeach()
else()
  install(FILES examples/fastrak-host.conf DESTINATION ${FASTRAK_INSTALL_EXAMPLESDIR})
  # The licences of the libraries built from source and linked in (liblsl), beside the docs.
  foreach(entry IN LISTS FASTRAK_VENDOR_LICENSES)
    string(REGEX MATCH "^([^=]+)=(.*)$" matched "${entry}")
    install(FILES ${CMAKE_MATCH_2} DESTINATION ${FASTRAK_INSTALL_DOCDIR}/licenses RENAME ${CMAKE_MATCH_1})
  endforeach()
  # Manual pages, compressed as Debian wants them; they point at the full docs.
  foreach(tool IN ITEMS fastrak-host fastrak-sim fastrak-calibrate)
    if(TARGET ${tool})
      file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging/man)
      execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/man/${tool}.1
        OUTPUT_FILE ${PROJECT_BINARY_DIR}/packaging/man/${tool}.1.gz RESULT_VARIABLE gzip_result)
      if(NOT gzip_result EQUAL 0)
        message(FATAL_ERROR "gzip failed on the manual page of ${tool}")
      endif()
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/man/${tool}.1)
      install(FILES ${PROJECT_BINARY_DIR}/packaging/man/${tool}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endforeach()
endif()
