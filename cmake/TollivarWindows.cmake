# The Windows build's dependencies and the DLL's shape. Included by the top-level CMakeLists.txt
# when cross-compiling for Windows (cmake/mingw-i686.cmake).

# Test programs run under Wine through ctest; scripts/wine-run keeps the Wine prefix in the build
# tree, so a build never touches the user's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run)

# Windows is built from the ANSI-neutral API: every call that takes text names its W or A form.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 TOLLIVAR_BUILDING_LIBRARY)

# What stays Linux-only of the unit tests, each with its reason; everything else builds and runs
# under Wine. TOLLIVAR_TESTS_EXCLUDED_<component>: test files left out of <component>_test;
# TOLLIVAR_LINUX_ONLY_<test program>: test cases (gtest names, * allowed) not run there.

# Under Wine a UDP socket bound to 127.0.0.2 still sends from 127.0.0.1 (getsockname says
# 127.0.0.2, the receiver sees 127.0.0.1): the test has no second loopback sender address.
set(TOLLIVAR_LINUX_ONLY_rtp_test "RtcpHandlerTest.SenderReportFromAnotherAddressIsIgnored")

# The judge of these cases is Debian's ffprobe and ffmpeg, started through popen with a POSIX
# shell command line (/usr/bin/..., quoted paths); a Windows test program has neither. Everything
# up to that judgement (frames, sizes, key pictures, buffer handling) passes under Wine.
set(TOLLIVAR_LINUX_ONLY_media_test "Packetizers/FixtureDecodeTest.*")

# GoogleTest from the sources of Debian's googletest package, built for the target; pugixml from
# the source of Debian's pugixml package, which scripts/setup windows fetches into the build tree
# (Debian ships neither built with mingw).
function(tollivar_windows_dependencies)
  set(gtest_source /usr/src/googletest)
  if(NOT EXISTS ${gtest_source}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources missing in ${gtest_source} (scripts/setup windows)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  # Its CMake project defines the GTest:: targets that the tests link.
  add_subdirectory(${gtest_source} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

  set(TOLLIVAR_PUGIXML_SOURCE ${PROJECT_BINARY_DIR}/third_party/pugixml/src CACHE PATH
      "pugixml's src/ folder (scripts/setup windows fetches it)")
  if(NOT EXISTS ${TOLLIVAR_PUGIXML_SOURCE}/pugixml.cpp)
    message(FATAL_ERROR "pugixml source missing in ${TOLLIVAR_PUGIXML_SOURCE}: run "
      "scripts/setup windows ${PROJECT_BINARY_DIR}")
  endif()
  add_library(tollivar_pugixml STATIC ${TOLLIVAR_PUGIXML_SOURCE}/pugixml.cpp)
  target_include_directories(tollivar_pugixml SYSTEM PUBLIC ${TOLLIVAR_PUGIXML_SOURCE})
  target_compile_options(tollivar_pugixml PRIVATE -w)
  add_library(pugixml::pugixml ALIAS tollivar_pugixml)

  # nlohmann-json is header-only: Debian's copy (nlohmann-json3-dev), seen through a folder of its
  # own so that the cross compiler does not search the host's /usr/include.
  set(json_headers /usr/include/nlohmann)
  if(NOT EXISTS ${json_headers}/json.hpp)
    message(FATAL_ERROR "nlohmann-json missing in ${json_headers} (scripts/setup)")
  endif()
  set(json_include ${PROJECT_BINARY_DIR}/third_party/include)
  file(MAKE_DIRECTORY ${json_include})
  file(CREATE_LINK ${json_headers} ${json_include}/nlohmann SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${json_include})
endfunction()

# tollivar.dll: no "lib" prefix, the twelve entry points exported undecorated by their
# __declspec(dllexport), and a version resource of the project's version.
function(tollivar_windows_library target)
  set(TOLLIVAR_VERSION_COMMAS
      "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  configure_file(${PROJECT_SOURCE_DIR}/src/driver/version.rc.in
                 ${PROJECT_BINARY_DIR}/tollivar_version.rc @ONLY)
  target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/tollivar_version.rc)
  set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "" OUTPUT_NAME tollivar)
  target_link_options(${target} PRIVATE -Wl,--no-undefined)
endfunction()
