# korvath_include_root(TARGET SCOPE): puts on TARGET's include path a folder
# of the build tree that holds one link, named like the current source
# folder, to that folder. Headers are still included as "engine/x.h", but a
# library sees only its own folder and those of the libraries it links:
# an include of a higher layer's header fails to compile.
function(korvath_include_root target scope)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(root ${PROJECT_BINARY_DIR}/include-roots/${folder})
  file(MAKE_DIRECTORY ${root})
  if(NOT EXISTS ${root}/${folder})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${root})
endfunction()

# korvath_library(NAME [DEPS ...]): a STATIC library from every .cpp in the
# current folder, exposing only its own headers (korvath_include_root); the
# headers of its DEPS come with them.
function(korvath_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    # A folder whose code has not landed yet: headers only.
    add_library(${name} INTERFACE)
    korvath_include_root(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  korvath_include_root(${name} PUBLIC)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()

# korvath_test_suite(AREA LIBS ... [DISPLAY] [ARIA2] [FIXTURES ...]): one
# GoogleTest binary from every *-test.cpp in the current folder. DISPLAY marks
# tests that need an X display (./test runs ctest under Xvfb; they take turns
# with its input); ARIA2
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
  # One Xvfb serves every display test, and its pointer and keyboard focus are
  # one: a drag in one test and a click in another must not take turns.
  set(locks "")
  if(ARG_ARIA2)
    list(APPEND locks aria2_port_6800)
  endif()
  if(ARG_DISPLAY)
    list(APPEND locks x_display_input)
  endif()
  if(locks)
    string(APPEND props " RESOURCE_LOCK \"${locks}\"")
  endif()
  if(ARG_FIXTURES)
    string(APPEND props " FIXTURES_REQUIRED \"${ARG_FIXTURES}\"")
  endif()
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES
    ${CMAKE_CURRENT_BINARY_DIR}/${target}-props.cmake)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${target}-props.cmake
    "foreach(t IN LISTS ${target}_TESTS)\n  set_tests_properties(\${t} PROPERTIES ${props})\nendforeach()\n")
endfunction()
