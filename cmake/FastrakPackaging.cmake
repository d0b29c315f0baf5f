# CPack: a ZIP of the Windows flavor; a tar.gz and a .deb (dependencies from dpkg-shlibdeps) on Linux.
set(CPACK_PACKAGE_NAME fastrak)
set(CPACK_PACKAGE_VENDOR "Fastrak module maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "device module for the Fastrak magnetic tracker, with host and emulator")
set(CPACK_PACKAGE_DESCRIPTION
  "A shared library that a host tracking service loads to read the Fastrak, a
six-degree-of-freedom magnetic tracker on a serial line. With fastrak-host, a
host program that shows and records the poses; fastrak-sim, an emulator of the
tracker on a pseudo-terminal; fastrak-calibrate and calibration plug-ins; the
host headers and a CMake package config.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Whoever builds packages for distribution sets the address:
#   cmake --preset default -DFASTRAK_MAINTAINER_EMAIL=lab-it@example.net
set(FASTRAK_MAINTAINER_EMAIL "" CACHE STRING "Address of the maintainers named in the packages")
set(CPACK_PACKAGE_CONTACT "Fastrak module maintainers")
if(FASTRAK_MAINTAINER_EMAIL)
  string(APPEND CPACK_PACKAGE_CONTACT " <${FASTRAK_MAINTAINER_EMAIL}>")
else()
  # A Debian package must name an address; .invalid says plainly that none was set.
  string(APPEND CPACK_PACKAGE_CONTACT " <maintainers@fastrak.invalid>")
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_SYSTEM_NAME Linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

  # Debian wants a copyright file and a compressed changelog in the package's doc folder.
  string(TIMESTAMP FASTRAK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
  execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/packaging/changelog RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip failed on the package changelog")
  endif()
  # A program linked with liblsl carries it: its paragraph joins the copyright file.
  file(READ packaging/debian/copyright copyright)
  if(TARGET fastrak_vendor_lsl)
    file(READ packaging/debian/copyright-liblsl lsl_copyright)
    string(REPLACE "\n\nLicense: Expat\n Permission" "\n\n${lsl_copyright}\nLicense: Expat\n Permission" copyright
           "${copyright}")
  endif()
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/copyright "${copyright}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${PROJECT_SOURCE_DIR}/packaging/debian/copyright-liblsl)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz ${PROJECT_BINARY_DIR}/packaging/copyright
    DESTINATION ${FASTRAK_INSTALL_DOCDIR})
endif()

include(CPack)
