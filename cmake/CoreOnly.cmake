# The Qt-free core alone (MIRDAL_CORE_ONLY): crypto, protocol and transcripts
# with their unit tests, and the PC/SC switch compiled against the platform's
# smart-card headers. It needs neither Qt nor OpenSSL nor pcsc-lite; this is
# what the Windows cross build makes (cmake/mingw-w64.cmake,
# tools/windows-tests.sh) and runs under Wine.
find_package(Threads REQUIRED)

add_subdirectory(crypto)
add_subdirectory(protocol)
add_subdirectory(transcript)

# The WinSCard side of the PC/SC switch, compiled and not linked: the switch
# itself runs only in the Qt program.
if(WIN32)
  add_library(mirdal_pcsc_winscard OBJECT transport/Pcsc.cpp transport/PcscPlatformWindows.cpp)
  target_include_directories(mirdal_pcsc_winscard PRIVATE transport)
  mirdal_warnings(mirdal_pcsc_winscard)
endif()

if(MIRDAL_BUILD_TESTS)
  enable_testing()
  # GoogleTest from its sources, built with this build's compiler (Debian's
  # googletest package installs them there).
  set(MIRDAL_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${MIRDAL_GTEST_SOURCE_DIR} googletest EXCLUDE_FROM_ALL)
  foreach(layer crypto protocol transcript)
    add_subdirectory(tests/${layer})
  endforeach()
endif()
