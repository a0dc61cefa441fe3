# The Windows build's third-party libraries, built inside the build tree from
# Debian's source packages (scripts/fetch-windows-deps unpacks them): Debian
# ships zlib for mingw-w64 but neither gSOAP's runtime, pugixml nor libcurl.
#
#   pelox_win_gsoap  gSOAP's runtime (stdsoap2.cpp, dom.cpp), static
#   pelox_win_pugixml  pugixml, static
#   pelox_win_curl   libcurl, static, HTTP only, TLS through Schannel
#   pelox_win_deflate  libdeflate, static (one-shot compression of upload chunks)
#
# Included from the top-level CMakeLists.txt only when building for Windows.

set(_pelox_default_deps "$ENV{PELOX_WINDOWS_DEPS_DIR}")
if(NOT _pelox_default_deps)
  if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(_pelox_default_deps "$ENV{XDG_CACHE_HOME}/peloxImp/windows-deps")
  else()
    set(_pelox_default_deps "$ENV{HOME}/.cache/peloxImp/windows-deps")
  endif()
endif()
set(PELOX_WINDOWS_DEPS_DIR "${_pelox_default_deps}" CACHE PATH
  "Where scripts/fetch-windows-deps unpacked the Debian source packages")

foreach(_pkg gsoap pugixml curl libdeflate)
  if(NOT EXISTS "${PELOX_WINDOWS_DEPS_DIR}/${_pkg}/.pelox-version")
    message(FATAL_ERROR "The ${_pkg} sources are missing from ${PELOX_WINDOWS_DEPS_DIR}: "
      "run scripts/fetch-windows-deps (or scripts/install-deps --windows), "
      "or point PELOX_WINDOWS_DEPS_DIR at where it put them")
  endif()
  # A new fetch rewrites the version stamp: configure again, and rebuild
  # what was compiled from the package (its unpacked files keep the
  # tarball's old times, so their own times would not show the change).
  set(_pelox_${_pkg}_stamp "${PELOX_WINDOWS_DEPS_DIR}/${_pkg}/.pelox-version")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_pelox_${_pkg}_stamp}")
  file(STRINGS "${_pelox_${_pkg}_stamp}" _pelox_${_pkg}_version LIMIT_COUNT 1)
  message(STATUS "Windows dependency ${_pkg}: Debian source ${_pelox_${_pkg}_version}")
endforeach()

# --- gSOAP's runtime ---------------------------------------------------------
# The generated SOAP layer is produced by the build machine's soapcpp2 and
# must be compiled against the runtime of exactly the same release, or the
# version check the generated code carries fails at link time.
set(_gsoap_src "${PELOX_WINDOWS_DEPS_DIR}/gsoap/gsoap")
find_program(PELOX_SOAPCPP2 soapcpp2 REQUIRED)
find_file(PELOX_HOST_STDSOAP2_H stdsoap2.h PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(STRINGS "${PELOX_HOST_STDSOAP2_H}" _host_ver REGEX "^#define GSOAP_VERSION ")
file(STRINGS "${_gsoap_src}/stdsoap2.h" _win_ver REGEX "^#define GSOAP_VERSION ")
if(NOT _host_ver STREQUAL _win_ver)
  message(FATAL_ERROR "gSOAP runtime for Windows (${_win_ver}) differs from the build machine's gSOAP "
    "(soapcpp2 and libgsoap-dev, ${_host_ver}): run scripts/fetch-windows-deps again")
endif()

find_package(ZLIB REQUIRED)  # libz-mingw-w64-dev

# The same wire features as the Linux build (IPv6, gzip, the DOM), but no
# OpenSSL: there is none for mingw-w64 in Debian, and gSOAP's runtime has no
# other TLS on Windows, so HTTPS will go through libcurl. Every translation
# unit that includes stdsoap2.h sees these definitions, so struct soap has
# one layout across the program.
add_library(pelox_win_gsoap STATIC "${_gsoap_src}/stdsoap2.cpp" "${_gsoap_src}/dom.cpp")
target_include_directories(pelox_win_gsoap SYSTEM PUBLIC "${_gsoap_src}")
target_compile_definitions(pelox_win_gsoap PUBLIC WITH_IPV6 WITH_GZIP WITH_DOM)
target_compile_options(pelox_win_gsoap PRIVATE -w)
target_link_libraries(pelox_win_gsoap PUBLIC ZLIB::ZLIB ws2_32)
set_source_files_properties("${_gsoap_src}/stdsoap2.cpp" "${_gsoap_src}/dom.cpp"
  PROPERTIES OBJECT_DEPENDS "${_pelox_gsoap_stamp}")

# --- pugixml -----------------------------------------------------------------
# Debian's libpugixml-dev is a prebuilt Linux library; its one source file is
# compiled here with its default configuration, as Debian builds it.
set(_pugi_src "${PELOX_WINDOWS_DEPS_DIR}/pugixml/src")
add_library(pelox_win_pugixml STATIC "${_pugi_src}/pugixml.cpp")
target_include_directories(pelox_win_pugixml SYSTEM PUBLIC "${_pugi_src}")
target_compile_options(pelox_win_pugixml PRIVATE -w)
set_source_files_properties("${_pugi_src}/pugixml.cpp" PROPERTIES OBJECT_DEPENDS "${_pelox_pugixml_stamp}")

# --- libdeflate ----------------------------------------------------------------
# Its library sources compiled as Debian builds them (static, no DLL import
# markers); the CPU feature probes pick the fast paths at run time.
set(_deflate_src "${PELOX_WINDOWS_DEPS_DIR}/libdeflate")
file(GLOB _deflate_sources "${_deflate_src}/lib/*.c" "${_deflate_src}/lib/x86/*.c" "${_deflate_src}/lib/arm/*.c")
add_library(pelox_win_deflate STATIC ${_deflate_sources})
target_include_directories(pelox_win_deflate SYSTEM PUBLIC "${_deflate_src}")
target_compile_options(pelox_win_deflate PRIVATE -w)
set_source_files_properties(${_deflate_sources} PROPERTIES OBJECT_DEPENDS "${_pelox_libdeflate_stamp}")

# --- libcurl -----------------------------------------------------------------
# Built with its own CMake project and the same toolchain file. HTTP (and
# HTTPS) only; TLS through Schannel, which verifies against the Windows
# certificate store unless the caller names a CA bundle; no CA file or folder
# of the build machine baked in. The threaded resolver is off because the
# library starts no threads of its own: name look-ups run on the caller's
# thread. zlib (the mingw-w64 one, static) decodes downloads the library asks
# for compressed (Accept-Encoding of the download service).
include(ExternalProject)
set(_curl_prefix "${CMAKE_BINARY_DIR}/windows-deps/curl")
set(_curl_lib "${_curl_prefix}/lib/libcurl.a")
set(_curl_args
  -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_INSTALL_PREFIX=${_curl_prefix}
  -DCMAKE_INSTALL_LIBDIR=lib
  # Changes with each fetched release, so a new one is configured and built.
  -DPELOX_DEBIAN_VERSION=${_pelox_curl_version}
  -DPELOX_WINEPREFIX=${PELOX_WINEPREFIX}
  -DBUILD_SHARED_LIBS=OFF
  -DBUILD_CURL_EXE=OFF
  -DBUILD_TESTING=OFF
  -DENABLE_MANUAL=OFF
  -DPICKY_COMPILER=OFF
  -DHTTP_ONLY=ON
  -DCURL_ENABLE_SSL=ON
  -DCURL_USE_SCHANNEL=ON
  -DCURL_USE_OPENSSL=OFF
  -DCURL_CA_BUNDLE=none
  -DCURL_CA_PATH=none
  -DCURL_CA_FALLBACK=OFF
  -DENABLE_THREADED_RESOLVER=OFF
  -DENABLE_UNICODE=ON
  -DCURL_ZLIB=ON
  -DZLIB_USE_STATIC_LIBS=ON
  -DCURL_BROTLI=OFF
  -DCURL_ZSTD=OFF
  -DUSE_LIBIDN2=OFF
  -DUSE_NGHTTP2=OFF
  -DCURL_USE_LIBSSH2=OFF
  -DCURL_USE_LIBSSH=OFF
  -DCURL_USE_GSSAPI=OFF
  -DUSE_WIN32_LDAP=OFF
  -DCURL_DISABLE_LDAP=ON
  -DCURL_DISABLE_LDAPS=ON)
foreach(_launcher CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER)
  if(${_launcher})
    list(APPEND _curl_args -D${_launcher}=${${_launcher}})
  endif()
endforeach()
ExternalProject_Add(pelox_win_curl_build
  SOURCE_DIR "${PELOX_WINDOWS_DEPS_DIR}/curl"
  BINARY_DIR "${CMAKE_BINARY_DIR}/windows-deps/curl-build"
  INSTALL_DIR "${_curl_prefix}"
  CMAKE_ARGS ${_curl_args}
  BUILD_BYPRODUCTS "${_curl_lib}"
  UPDATE_COMMAND ""
  DOWNLOAD_COMMAND ""
  LOG_CONFIGURE ON
  LOG_BUILD ON
  LOG_INSTALL ON
  LOG_OUTPUT_ON_FAILURE ON)
file(MAKE_DIRECTORY "${_curl_prefix}/include")
add_library(pelox_win_curl STATIC IMPORTED GLOBAL)
set_target_properties(pelox_win_curl PROPERTIES
  IMPORTED_LOCATION "${_curl_lib}"
  INTERFACE_INCLUDE_DIRECTORIES "${_curl_prefix}/include"
  INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
  # What curl's own pkg-config file lists for this configuration (crypt32
  # for Schannel's certificate handling, bcrypt for random bytes).
  INTERFACE_LINK_LIBRARIES "ZLIB::ZLIB;ws2_32;crypt32;bcrypt;advapi32")
add_dependencies(pelox_win_curl pelox_win_curl_build)
