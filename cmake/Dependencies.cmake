# Every outside library of the project, found once here.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(absl REQUIRED)
find_package(CURL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n data)
find_package(nlohmann_json REQUIRED)
find_package(nanopb REQUIRED)
find_package(Boost REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
if(KVL_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(KVL_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()

# libcurl must be Debian's GnuTLS flavour: the OpenSSL flavour collides with
# BoringSSL's symbols in one process.
if(NOT CURL_LIBRARIES MATCHES "gnutls" AND NOT EXISTS /usr/lib/x86_64-linux-gnu/libcurl-gnutls.so)
  message(FATAL_ERROR "libcurl4-gnutls-dev is required")
endif()

# BoringSSL is Debian's Android build. It is linked by full path with an rpath and its
# headers are a system include, so the system OpenSSL can never be picked by mistake.
set(BORINGSSL_INCLUDE_DIR /usr/include/android)
set(BORINGSSL_CRYPTO_LIBRARY /usr/lib/x86_64-linux-gnu/android/libcrypto.so)
if(NOT EXISTS ${BORINGSSL_CRYPTO_LIBRARY} OR NOT EXISTS ${BORINGSSL_INCLUDE_DIR}/openssl/is_boringssl.h)
  message(FATAL_ERROR "android-libboringssl-dev is required")
endif()
add_library(boringssl::crypto INTERFACE IMPORTED)
set_target_properties(boringssl::crypto PROPERTIES
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${BORINGSSL_INCLUDE_DIR}
  INTERFACE_INCLUDE_DIRECTORIES ${BORINGSSL_INCLUDE_DIR}
  INTERFACE_LINK_LIBRARIES ${BORINGSSL_CRYPTO_LIBRARY}
  INTERFACE_LINK_OPTIONS "-Wl,-rpath,/usr/lib/x86_64-linux-gnu/android")

find_program(PROTOC_EXECUTABLE protoc REQUIRED)
find_program(NANOPB_PROTOC_PLUGIN protoc-gen-nanopb REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
