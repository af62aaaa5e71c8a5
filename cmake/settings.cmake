# Options, warnings, sanitizers and the build-time constants every target sees.

option(KOLVARIS_BUILD_TESTS "Build the unit, integration and end-to-end tests" ON)
option(KOLVARIS_BUILD_BENCHMARKS "Build the benchmarks" ON)
option(KOLVARIS_BUILD_FUZZERS "Build the libFuzzer targets (needs clang)" OFF)
option(KOLVARIS_ASAN "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(KOLVARIS_TSAN "Build with ThreadSanitizer" OFF)
# Off by default so that a packager's compiler, newer or older than ours, cannot fail a release
# over a new warning; the test, sanitizer, fuzz and CI scripts turn it on.
option(KOLVARIS_WERROR "Treat compiler warnings as errors" OFF)

set(KOLVARIS_CLIENT_BUNDLE_IDENTIFIER "com.kolvaris.desktop" CACHE STRING
    "Bundle identifier of the desktop application the helper serves")
set(KOLVARIS_SIGNING_TEAM_IDENTIFIER "KOLVARIS01" CACHE STRING
    "Ten-character team identifier of the signing organisation")
set(KOLVARIS_TRUST_ANCHOR "" CACHE FILEPATH
    "PEM root certificate that code signatures must chain to (empty: development build)")

string(LENGTH "${KOLVARIS_SIGNING_TEAM_IDENTIFIER}" _team_length)
if(NOT _team_length EQUAL 10)
  message(FATAL_ERROR "KOLVARIS_SIGNING_TEAM_IDENTIFIER must be 10 characters")
endif()
set(KOLVARIS_HELPER_LABEL "${KOLVARIS_CLIENT_BUNDLE_IDENTIFIER}-helper")
set(KOLVARIS_MINIMUM_CLIENT_VERSION "" CACHE STRING
    "Oldest CFBundleVersion of the application the helper serves (empty: any version)")
if(KOLVARIS_MINIMUM_CLIENT_VERSION AND
   NOT KOLVARIS_MINIMUM_CLIENT_VERSION MATCHES "^[0-9]+(\\.[0-9]+)*$")
  message(FATAL_ERROR "KOLVARIS_MINIMUM_CLIENT_VERSION must be a dotted version number")
endif()
# The one definition of the client requirement: the helper compiles it, and the embedded
# information list carries it, so the two cannot drift apart.
set(KOLVARIS_CLIENT_CODE_REQUIREMENT
    "identifier \"${KOLVARIS_CLIENT_BUNDLE_IDENTIFIER}\" and anchor apple generic and certificate leaf[subject.OU] = ${KOLVARIS_SIGNING_TEAM_IDENTIFIER} and certificate leaf[field.1.2.840.113635.100.6.1.13] /* exists */")

if(KOLVARIS_ASAN AND KOLVARIS_TSAN)
  message(FATAL_ERROR "KOLVARIS_ASAN and KOLVARIS_TSAN cannot be combined")
endif()

add_library(kolvaris_settings INTERFACE)
target_compile_options(kolvaris_settings INTERFACE -Wall -Wextra)
if(KOLVARIS_WERROR)
  target_compile_options(kolvaris_settings INTERFACE -Werror)
  # g++ 12 at -O3 reports overlapping copies inside std::string's own code whenever a literal is
  # prepended to a string (GCC bug 105651, fixed in 13): still shown, never fatal.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(kolvaris_settings INTERFACE -Wno-error=restrict)
  endif()
endif()
target_compile_definitions(kolvaris_settings INTERFACE
  KOLVARIS_CLIENT_BUNDLE_IDENTIFIER="${KOLVARIS_CLIENT_BUNDLE_IDENTIFIER}"
  KOLVARIS_SIGNING_TEAM_IDENTIFIER="${KOLVARIS_SIGNING_TEAM_IDENTIFIER}"
  KOLVARIS_HELPER_LABEL="${KOLVARIS_HELPER_LABEL}"
  ASIO_NO_DEPRECATED)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # asio only detects coroutines through <experimental/coroutine> on clang with libstdc++.
  target_compile_definitions(kolvaris_settings INTERFACE ASIO_HAS_CO_AWAIT=1)
endif()
find_package(Threads REQUIRED)
target_link_libraries(kolvaris_settings INTERFACE Threads::Threads)

# The requirement holds quotation marks, which compile definitions do not carry intact: it
# reaches C++ as a generated header.
string(REPLACE "\\" "\\\\" _requirement_literal "${KOLVARIS_CLIENT_CODE_REQUIREMENT}")
string(REPLACE "\"" "\\\"" _requirement_literal "${_requirement_literal}")
file(WRITE "${CMAKE_BINARY_DIR}/generated/constants/kolvaris_client_requirement.h.new"
  "// Generated from KOLVARIS_CLIENT_CODE_REQUIREMENT; do not edit.\n"
  "#define KOLVARIS_CLIENT_CODE_REQUIREMENT \"${_requirement_literal}\"\n")
configure_file("${CMAKE_BINARY_DIR}/generated/constants/kolvaris_client_requirement.h.new"
  "${CMAKE_BINARY_DIR}/generated/constants/kolvaris_client_requirement.h" COPYONLY)
target_include_directories(kolvaris_settings INTERFACE "${CMAKE_BINARY_DIR}/generated/constants")

if(KOLVARIS_ASAN)
  target_compile_options(kolvaris_settings INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(kolvaris_settings INTERFACE -fsanitize=address,undefined)
endif()
if(KOLVARIS_TSAN)
  # g++ warns that ThreadSanitizer does not model asio's atomic_thread_fence; the races those
  # fences order are also ordered by the scheduler's locks, which it does model.
  target_compile_options(kolvaris_settings INTERFACE
    -fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  target_link_options(kolvaris_settings INTERFACE -fsanitize=thread)
endif()

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_CXX_COMPILER_LAUNCHER "${CCACHE_PROGRAM}")
endif()

if(KOLVARIS_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KOLVARIS_BUILD_FUZZERS needs clang (CMAKE_CXX_COMPILER=clang++-19)")
  endif()
  # Instrument everything for coverage; only the fuzz targets link the fuzzer's main.
  target_compile_options(kolvaris_settings INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  target_link_options(kolvaris_settings INTERFACE -fsanitize=address,undefined)
endif()

# The root certificate code signatures must chain to, compiled into the helper. Without
# KOLVARIS_TRUST_ANCHOR this is a development build that trusts a test root generated into the
# build folder (its private keys lie beside it). Tests use that test PKI in every build.
set(KOLVARIS_TEST_PKI_DIR "${CMAKE_BINARY_DIR}/test-pki")
if(NOT KOLVARIS_TRUST_ANCHOR OR KOLVARIS_BUILD_TESTS OR KOLVARIS_BUILD_BENCHMARKS)
  set(_pki_team "")
  if(EXISTS "${KOLVARIS_TEST_PKI_DIR}/team")
    file(STRINGS "${KOLVARIS_TEST_PKI_DIR}/team" _pki_team LIMIT_COUNT 1)
  endif()
  if(NOT EXISTS "${KOLVARIS_TEST_PKI_DIR}/root.pem" OR
     NOT _pki_team STREQUAL KOLVARIS_SIGNING_TEAM_IDENTIFIER)
    execute_process(
      COMMAND "${CMAKE_SOURCE_DIR}/scripts/make-test-pki" "${KOLVARIS_TEST_PKI_DIR}"
              --team "${KOLVARIS_SIGNING_TEAM_IDENTIFIER}"
      RESULT_VARIABLE _pki_result)
    if(NOT _pki_result EQUAL 0)
      message(FATAL_ERROR "scripts/make-test-pki failed (${_pki_result})")
    endif()
  endif()
endif()
if(KOLVARIS_TRUST_ANCHOR)
  set(KOLVARIS_DEVELOPMENT_BUILD OFF)
  set(_trust_anchor "${KOLVARIS_TRUST_ANCHOR}")
else()
  set(KOLVARIS_DEVELOPMENT_BUILD ON)
  set(_trust_anchor "${KOLVARIS_TEST_PKI_DIR}/root.pem")
  message(WARNING
    "DEVELOPMENT BUILD: KOLVARIS_TRUST_ANCHOR is not set, so the helper trusts the test root "
    "${_trust_anchor}, whose private keys lie in the build folder. Never install this build: "
    "cmake --install and cpack refuse it. Set KOLVARIS_TRUST_ANCHOR to build an installable helper.")
endif()
if(NOT EXISTS "${_trust_anchor}")
  message(FATAL_ERROR "KOLVARIS_TRUST_ANCHOR: ${_trust_anchor} does not exist")
endif()
file(READ "${_trust_anchor}" _trust_anchor_pem)
if(NOT _trust_anchor_pem MATCHES "-----BEGIN CERTIFICATE-----")
  message(FATAL_ERROR "KOLVARIS_TRUST_ANCHOR: ${_trust_anchor} holds no PEM certificate")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_trust_anchor}")
set(KOLVARIS_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
file(WRITE "${KOLVARIS_GENERATED_DIR}/kolvaris_trust_anchor.inc.new"
  "R\"KOLVARIS_PEM(${_trust_anchor_pem})KOLVARIS_PEM\"\n")
configure_file("${KOLVARIS_GENERATED_DIR}/kolvaris_trust_anchor.inc.new"
  "${KOLVARIS_GENERATED_DIR}/kolvaris_trust_anchor.inc" COPYONLY)
