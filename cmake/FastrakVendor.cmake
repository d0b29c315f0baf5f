# fastrak-host's network libraries built from their source archives.
#
# Debian has no MinGW builds of cpp-httplib, liblo and OpenIGTLink, so the cross build makes them
# in its own tree at pinned versions; liblsl Debian has for neither system, so both builds make it.
# The archives come from FASTRAK_VENDOR_DIR when it is set (no network), otherwise, on Windows,
# from the upstream tags; a Linux build without the liblsl archive leaves LSL out. The hashes are
# those of archives made from the tags; a download that differs is refused, not built.
#
# Targets for tools/host:
#   fastrak_vendor_httplib  cpp-httplib's header (INTERFACE), with the Winsock library (Windows)
#   fastrak_vendor_lo       liblo as a DLL (it is LGPL-2.1, so it ships beside the program) (Windows)
#   fastrak_vendor_igtl     OpenIGTLink, static (Windows)
#   fastrak_vendor_lsl      liblsl, static (both, when its archive is at hand)
# and FASTRAK_VENDOR_LICENSES, the licence texts that ship with the program.
include_guard(GLOBAL)
include(ExternalProject)
include(FetchContent)

set(FASTRAK_VENDOR_DIR "" CACHE PATH
    "Folder holding liblsl-1.16.2.tar.gz, and cpp-httplib-0.11.4.tar.gz, liblo-0.31.tar.gz and OpenIGTLink-3.0.tar.gz for the Windows build (empty: Windows downloads them, Linux builds without LSL)")

# fastrak_vendor_url(<var> <archive file name> <upstream URL>): the archive in FASTRAK_VENDOR_DIR
# when that is set (a missing one stops the configure), else the upstream URL.
function(fastrak_vendor_url var file upstream)
  if(FASTRAK_VENDOR_DIR)
    if(NOT EXISTS ${FASTRAK_VENDOR_DIR}/${file})
      message(FATAL_ERROR "FASTRAK_VENDOR_DIR=${FASTRAK_VENDOR_DIR} has no ${file}")
    endif()
    set(${var} ${FASTRAK_VENDOR_DIR}/${file} PARENT_SCOPE)
  else()
    set(${var} ${upstream} PARENT_SCOPE)
  endif()
endfunction()

set(vendor_root ${CMAKE_BINARY_DIR}/vendor)
# The libraries are built with the same compilers and toolchain, as third-party code: no -Werror.
set(vendor_cmake_args
  -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
  -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}
  -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER})

set(FASTRAK_VENDOR_LICENSES)

# liblsl: the static library and its C header. Its bundled Boost subset and pugixml come along;
# LSL_OPTIMIZATIONS off keeps link-time optimisation out of the archive that our programs link.
set(lsl_archive liblsl-1.16.2.tar.gz)
if(WIN32 OR (FASTRAK_VENDOR_DIR AND EXISTS ${FASTRAK_VENDOR_DIR}/${lsl_archive}))
  fastrak_vendor_url(lsl_url ${lsl_archive} https://github.com/sccn/liblsl/archive/refs/tags/v1.16.2.tar.gz)
  set(lsl_source ${vendor_root}/liblsl-source)
  set(lsl_binary ${vendor_root}/liblsl-build)
  ExternalProject_Add(fastrak_liblsl
    URL ${lsl_url}
    URL_HASH SHA256=93c98278ac37fa69a311d74d7ed7bf9368007106b4f26a42f1becf86a42373ed
    DOWNLOAD_EXTRACT_TIMESTAMP ON
    PREFIX ${vendor_root}/liblsl-work
    SOURCE_DIR ${lsl_source}
    BINARY_DIR ${lsl_binary}
    CMAKE_ARGS ${vendor_cmake_args} -DLSL_BUILD_STATIC=ON -DLSL_OPTIMIZATIONS=OFF
               -DCMAKE_POSITION_INDEPENDENT_CODE=ON
    # The library alone, used from the build tree: its install step wants its version tool too.
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target lsl
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${lsl_binary}/liblsl.a)
  file(MAKE_DIRECTORY ${lsl_source}/include)
  add_library(fastrak_vendor_lsl STATIC IMPORTED GLOBAL)
  set_target_properties(fastrak_vendor_lsl PROPERTIES
    IMPORTED_LOCATION ${lsl_binary}/liblsl.a
    INTERFACE_INCLUDE_DIRECTORIES ${lsl_source}/include
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${lsl_source}/include)
  if(WIN32)
    # Without LIBLSL_STATIC the header declares every function as imported from a DLL.
    set_target_properties(fastrak_vendor_lsl PROPERTIES
      INTERFACE_COMPILE_DEFINITIONS LIBLSL_STATIC
      INTERFACE_LINK_LIBRARIES "iphlpapi;winmm;mswsock;ws2_32")
  else()
    find_package(Threads REQUIRED)
    set_target_properties(fastrak_vendor_lsl PROPERTIES INTERFACE_LINK_LIBRARIES Threads::Threads)
  endif()
  add_dependencies(fastrak_vendor_lsl fastrak_liblsl)
  list(APPEND FASTRAK_VENDOR_LICENSES liblsl.txt=${lsl_source}/LICENSE)
else()
  message(WARNING "No ${lsl_archive} in FASTRAK_VENDOR_DIR (\"${FASTRAK_VENDOR_DIR}\"); "
                  "fastrak-host built without LSL output (README: Build)")
endif()

if(NOT WIN32)
  return()
endif()

# cpp-httplib: a single header, unpacked at configure time.
fastrak_vendor_url(httplib_url cpp-httplib-0.11.4.tar.gz
  https://github.com/yhirose/cpp-httplib/archive/refs/tags/v0.11.4.tar.gz)
FetchContent_Declare(fastrak_httplib
  URL ${httplib_url}
  URL_HASH SHA256=93eb0a03e67ab4e0b6537e72373567ddb23de2732941c4c9f1ff31bd6849844b
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  SOURCE_DIR ${vendor_root}/cpp-httplib)
FetchContent_GetProperties(fastrak_httplib)
if(NOT fastrak_httplib_POPULATED)
  # Populate only: its own CMake would look for OpenSSL, zlib and Brotli, which the host does not use.
  FetchContent_Populate(fastrak_httplib)
endif()
add_library(fastrak_vendor_httplib INTERFACE)
target_include_directories(fastrak_vendor_httplib SYSTEM INTERFACE ${fastrak_httplib_SOURCE_DIR})
target_link_libraries(fastrak_vendor_httplib INTERFACE ws2_32)

# liblo: its cmake/ folder builds the DLL; tools, tests and examples stay off.
fastrak_vendor_url(lo_url liblo-0.31.tar.gz https://github.com/radarsat1/liblo/archive/refs/tags/0.31.tar.gz)
set(lo_prefix ${vendor_root}/liblo)
ExternalProject_Add(fastrak_liblo
  URL ${lo_url}
  URL_HASH SHA256=76567c6ce9e6b1aa782ba575baba3b6fd54795a473bb6219f63721fc3fa421dd
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  PREFIX ${vendor_root}/liblo-build
  INSTALL_DIR ${lo_prefix}
  SOURCE_SUBDIR cmake
  CMAKE_ARGS ${vendor_cmake_args} -DWITH_TOOLS=OFF -DWITH_TESTS=OFF -DWITH_EXAMPLES=OFF
             -DWITH_CPP_TESTS=OFF -DWITH_STATIC=OFF -DTHREADING=ON
  BUILD_BYPRODUCTS ${lo_prefix}/lib/liblo.dll.a ${lo_prefix}/bin/liblo.dll)
file(MAKE_DIRECTORY ${lo_prefix}/include)
add_library(fastrak_vendor_lo SHARED IMPORTED GLOBAL)
set_target_properties(fastrak_vendor_lo PROPERTIES
  IMPORTED_LOCATION ${lo_prefix}/bin/liblo.dll
  IMPORTED_IMPLIB ${lo_prefix}/lib/liblo.dll.a
  INTERFACE_INCLUDE_DIRECTORIES ${lo_prefix}/include
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${lo_prefix}/include)
add_dependencies(fastrak_vendor_lo fastrak_liblo)

# OpenIGTLink: the static library only. Its install step installs the headers only for MSVC and
# Xcode, so the host uses the build tree: the sources' headers and the configured ones.
fastrak_vendor_url(igtl_url OpenIGTLink-3.0.tar.gz https://github.com/openigtlink/OpenIGTLink/archive/refs/tags/v3.0.tar.gz)
set(igtl_source ${vendor_root}/openigtlink)
set(igtl_binary ${vendor_root}/openigtlink-build)
ExternalProject_Add(fastrak_openigtlink
  URL ${igtl_url}
  URL_HASH SHA256=6bd42340e9f0fa0e4f11e64677355636f23827c806c53b094fa779dfb6ccc89e
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  PREFIX ${vendor_root}/openigtlink-work
  SOURCE_DIR ${igtl_source}
  BINARY_DIR ${igtl_binary}
  CMAKE_ARGS ${vendor_cmake_args} -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DBUILD_EXAMPLES=OFF
             -DBUILD_DOCUMENTATION=OFF
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${igtl_binary}/bin/libOpenIGTLink.a)
set(igtl_includes ${igtl_binary} ${igtl_source}/Source ${igtl_source}/Source/igtlutil)
file(MAKE_DIRECTORY ${igtl_includes})
add_library(fastrak_vendor_igtl STATIC IMPORTED GLOBAL)
set_target_properties(fastrak_vendor_igtl PROPERTIES
  IMPORTED_LOCATION ${igtl_binary}/bin/libOpenIGTLink.a
  INTERFACE_INCLUDE_DIRECTORIES "${igtl_includes}"
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${igtl_includes}"
  INTERFACE_LINK_LIBRARIES "ws2_32;wsock32")
add_dependencies(fastrak_vendor_igtl fastrak_openigtlink)

# The licence texts that ship with the program, as <name in the package>=<file>.
list(APPEND FASTRAK_VENDOR_LICENSES
  cpp-httplib.txt=${fastrak_httplib_SOURCE_DIR}/LICENSE
  liblo.txt=${vendor_root}/liblo-build/src/fastrak_liblo/COPYING
  OpenIGTLink.txt=${igtl_source}/LICENSE.txt)
