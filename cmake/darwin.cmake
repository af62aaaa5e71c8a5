# The macOS build of the helper, included from desktop-helper/CMakeLists.txt when APPLE, after
# it has defined helper_portable and `_src` (the helper's source folder): the darwin platform
# layer (Objective-C++ with ARC where messages are sent, C++ over CoreFoundation and Security
# elsewhere), the system frameworks, macOS 13.0 as the oldest system, and the helper executable,
# into whose __TEXT the service definition embeds the two property lists. The Linux code-signature engine,
# OpenSSL and libsystemd are not part of it. README, "macOS", says what a Mac owner runs.

if(KOLVARIS_BUILD_TESTS OR KOLVARIS_BUILD_BENCHMARKS OR KOLVARIS_BUILD_FUZZERS)
  message(FATAL_ERROR
    "The test, benchmark and fuzz trees hold Linux-only code. Configure the macOS build with "
    "-DKOLVARIS_BUILD_TESTS=OFF -DKOLVARIS_BUILD_BENCHMARKS=OFF (README, macOS).")
endif()
if(CMAKE_OSX_DEPLOYMENT_TARGET AND NOT CMAKE_OSX_DEPLOYMENT_TARGET VERSION_EQUAL 13.0)
  message(WARNING "The helper supports macOS 13.0 and later; building for "
                  "${CMAKE_OSX_DEPLOYMENT_TARGET} is not what it is checked against")
endif()

enable_language(OBJCXX)

# Every target of the build: the oldest system, asio's coroutines (its detection looks for
# <experimental/coroutine>, which libc++ no longer has) and asio's headers.
target_compile_options(kolvaris_settings INTERFACE -mmacosx-version-min=13.0)
target_link_options(kolvaris_settings INTERFACE -mmacosx-version-min=13.0)
target_compile_definitions(kolvaris_settings INTERFACE ASIO_HAS_CO_AWAIT=1)
# asio 1.22 counts on <exception> arriving through other standard headers, which libc++ 19 no
# longer does; newer asio releases include it themselves.
target_compile_options(kolvaris_settings INTERFACE "SHELL:-include exception")
find_path(KOLVARIS_ASIO_INCLUDE_DIR asio.hpp REQUIRED)
target_include_directories(kolvaris_settings SYSTEM INTERFACE ${KOLVARIS_ASIO_INCLUDE_DIR})

set(_helper_darwin
  ${_src}/platform/darwin/activation_darwin.cpp
  ${_src}/platform/darwin/code_signing_darwin.cpp
  ${_src}/platform/darwin/darwin_text.cpp
  ${_src}/platform/darwin/files_darwin.mm
  ${_src}/platform/darwin/foundation_text.mm
  ${_src}/platform/darwin/processes_darwin.mm
  ${_src}/platform/darwin/reach_as_darwin.cpp
  ${_src}/platform/darwin/spawn_darwin.cpp
  ${_src}/platform/darwin/system_platform_darwin.cpp
  ${_src}/platform/darwin/user_session_launch.cpp)

add_library(helper_platform_darwin STATIC ${_helper_darwin})
set_target_properties(helper_platform_darwin PROPERTIES
  OBJCXX_STANDARD 23 OBJCXX_STANDARD_REQUIRED ON OBJCXX_EXTENSIONS OFF)
# ARC for every .mm (each also refuses to compile without it).
target_compile_options(helper_platform_darwin PRIVATE $<$<COMPILE_LANGUAGE:OBJCXX>:-fobjc-arc>)
# Not AppKit: it is not safe in a daemon (TN2083) and is loaded at run time only where the helper
# runs as the user who asked (processes_darwin.mm).
target_link_libraries(helper_platform_darwin PUBLIC
  helper_interface
  "-framework CoreFoundation" "-framework Security" "-framework Foundation"
  bsm)

add_executable(helper ${_src}/main/main.cpp)
set_target_properties(helper PROPERTIES OUTPUT_NAME "${KOLVARIS_HELPER_LABEL}")
target_link_libraries(helper PRIVATE helper_portable helper_platform_darwin)

# The relauncher the application ships in its bundle and starts, as the user, before it quits
# (README, "macOS"): it runs in the user's session, so it links AppKit as any application does.
add_executable(relauncher
  ${_src}/relauncher/relauncher_main.mm
  ${_src}/relauncher/relaunch_plan.cpp)
set_target_properties(relauncher PROPERTIES
  OUTPUT_NAME "${KOLVARIS_HELPER_LABEL}-relauncher"
  OBJCXX_STANDARD 23 OBJCXX_STANDARD_REQUIRED ON OBJCXX_EXTENSIONS OFF)
target_include_directories(relauncher PRIVATE ${_src})
target_compile_options(relauncher PRIVATE $<$<COMPILE_LANGUAGE:OBJCXX>:-fobjc-arc>)
target_link_libraries(relauncher PRIVATE common "-framework Foundation" "-framework AppKit")

# Signing with the hardened runtime, right after the link, when an identity is given (a
# "Developer ID Application: …" certificate of KOLVARIS_SIGNING_TEAM_IDENTIFIER in the keychain).
set(KOLVARIS_CODESIGN_IDENTITY "" CACHE STRING
    "Signing identity for the helper (empty: the helper is left unsigned)")
if(KOLVARIS_CODESIGN_IDENTITY)
  foreach(_signed helper relauncher)
    get_target_property(_signed_name ${_signed} OUTPUT_NAME)
    add_custom_command(TARGET ${_signed} POST_BUILD
      COMMAND /usr/bin/codesign --force --options runtime --timestamp
              --identifier "${_signed_name}"
              --sign "${KOLVARIS_CODESIGN_IDENTITY}" "$<TARGET_FILE:${_signed}>"
      COMMENT "Signing ${_signed_name} with the hardened runtime"
      VERBATIM)
  endforeach()
endif()
