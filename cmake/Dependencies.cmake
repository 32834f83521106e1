# pugixml: the report's XML document model. Debian's libpugixml-dev on Linux; for the
# Windows cross-build, the sources of Debian's pugixml package (GRAVELIN_PUGIXML_SOURCE).
set(GRAVELIN_PUGIXML_SOURCE "" CACHE PATH "pugixml source tree to build from (cross-builds)")
add_library(gravelin_pugixml INTERFACE)
if(GRAVELIN_PUGIXML_SOURCE)
  add_library(pugixml_bundled STATIC ${GRAVELIN_PUGIXML_SOURCE}/src/pugixml.cpp)
  target_include_directories(pugixml_bundled SYSTEM PUBLIC ${GRAVELIN_PUGIXML_SOURCE}/src)
  target_link_libraries(gravelin_pugixml INTERFACE pugixml_bundled)
else()
  find_package(pugixml REQUIRED)
  # The static library where there is one: the report tool links its C++ runtime statically
  # (programs/gravelin-report/CMakeLists.txt), and a shared pugixml would bring the shared runtime back.
  if(TARGET pugixml::static)
    target_link_libraries(gravelin_pugixml INTERFACE pugixml::static)
  else()
    target_link_libraries(gravelin_pugixml INTERFACE pugixml::pugixml)
  endif()
endif()

# GoogleTest: the unit tests. Debian's libgtest-dev on Linux; the sources of Debian's
# googletest package for the Windows cross-build (GRAVELIN_GTEST_SOURCE).
if(BUILD_TESTING)
  set(GRAVELIN_GTEST_SOURCE "" CACHE PATH "googletest source tree to build from (cross-builds)")
  if(GRAVELIN_GTEST_SOURCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${GRAVELIN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # Newer googletest trees define these aliases themselves.
    if(NOT TARGET GTest::gtest_main)
      add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
    if(NOT TARGET GTest::gmock)
      add_library(GTest::gmock ALIAS gmock)
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()
  include(GoogleTest)
endif()
