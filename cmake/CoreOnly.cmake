# The Qt-free core alone (MIRDAL_CORE_ONLY): crypto, protocol and transcripts
# with their unit tests, and the PC/SC switch compiled against the platform's
# smart-card headers. It needs neither Qt nor OpenSSL nor pcsc-lite; this is
# what the Windows cross build makes (cmake/mingw-w64.cmake,
# tools/windows-tests.sh) and runs under Wine.
find_package(Threads REQUIRED)

add_subdirectory(crypto)
add_subdirectory(protocol)
add_subdirectory(transcript)

# The Windows sides of the platform seams, compiled and not linked: the PC/SC
# switch on WinSCard and the command line's console (interruptions, terminal
# detection and width, device identity) run only in the Qt programs.
if(WIN32)
  add_library(mirdal_pcsc_winscard OBJECT transport/Pcsc.cpp transport/PcscPlatformWindows.cpp)
  target_include_directories(mirdal_pcsc_winscard PRIVATE ${PROJECT_SOURCE_DIR})
  mirdal_warnings(mirdal_pcsc_winscard)
  add_library(mirdal_console_windows OBJECT cli/ConsoleWindows.cpp)
  target_include_directories(mirdal_console_windows PRIVATE ${PROJECT_SOURCE_DIR})
  mirdal_warnings(mirdal_console_windows)
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
