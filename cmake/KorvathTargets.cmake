# korvath_library(NAME [DEPS ...]): a STATIC library from every .cpp in the
# current folder, with src/ on the include path so headers are included as
# "util/text.h", "http/url.h" and so on.
function(korvath_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    # A folder whose code has not landed yet: headers only.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()

# korvath_test_suite(AREA LIBS ... [DISPLAY] [ARIA2] [FIXTURES ...]): one
# GoogleTest binary from every *-test.cpp in the current folder. DISPLAY marks
# tests that need an X display (./test runs ctest under Xvfb); ARIA2
# serialises tests that start aria2 on its fixed port 6800; FIXTURES names
# CTest fixtures whose set-up tests must run first.
function(korvath_test_suite area)
  cmake_parse_arguments(ARG "DISPLAY;ARIA2" "TIMEOUT" "LIBS;FIXTURES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*-test.cpp)
  if(NOT sources)
    return()
  endif()
  set(target korvath_${area}_tests)
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} korvath_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  set(labels ${area})
  if(ARG_DISPLAY)
    list(APPEND labels display)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60)
  # Properties are applied when ctest reads the discovered list: passed through
  # gtest_discover_tests, a list value (two labels, two variables) is split
  # into separate arguments and the properties after it are lost.
  set(env "KORVATH_SOURCE_DIR=${PROJECT_SOURCE_DIR};KORVATH_BUILD_DIR=${PROJECT_BINARY_DIR}")
  set(props "LABELS \"${labels}\" TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT \"${env}\"")
  if(ARG_ARIA2)
    string(APPEND props " RESOURCE_LOCK aria2_port_6800")
  endif()
  if(ARG_FIXTURES)
    string(APPEND props " FIXTURES_REQUIRED \"${ARG_FIXTURES}\"")
  endif()
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES
    ${CMAKE_CURRENT_BINARY_DIR}/${target}-props.cmake)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${target}-props.cmake
    "foreach(t IN LISTS ${target}_TESTS)\n  set_tests_properties(\${t} PROPERTIES ${props})\nendforeach()\n")
endfunction()
