# One static library per subsystem folder under src/, and one test program per
# folder under tests/. Sources are globbed so that adding a file needs no edit
# here; CONFIGURE_DEPENDS makes the build notice new files by itself.

set(BRISVANE_WARNINGS -Wall -Wextra)

# brisvane_subsystem(<name> [EXCLUDE <file>...] [DEPS <target>...])
# EXCLUDE names files of the folder that another library already builds.
function(brisvane_subsystem name)
  cmake_parse_arguments(ARG "" "" "EXCLUDE;DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX "_main\\.cpp$")
  # A "standin" folder is a stand-in library of its own (see src/CMakeLists.txt).
  list(FILTER srcs EXCLUDE REGEX "/standin/")
  foreach(excluded ${ARG_EXCLUDE})
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${name}/${excluded})
  endforeach()
  set(target brisvane_${name})
  if(srcs)
    add_library(${target} STATIC ${srcs})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_compile_options(${target} PRIVATE ${BRISVANE_WARNINGS})
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# brisvane_test_suite(<folder> LIBS <target>... [LIGHT] [LABELS ...])
# Every *.cpp in tests/<folder> forms one GoogleTest program <folder>_tests.
# LIGHT: the program uses only the test helpers without sockets or TLS
# (brisvane_test_support_core) and no generated test model, so building it
# needs neither OpenSSL nor llama.cpp beyond what its LIBS bring.
function(brisvane_test_suite folder)
  cmake_parse_arguments(ARG "LIGHT" "" "LIBS;LABELS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  set(target ${folder}_tests)
  add_executable(${target} ${srcs})
  target_compile_options(${target} PRIVATE ${BRISVANE_WARNINGS})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  if(ARG_LIGHT)
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} brisvane_test_support_core GTest::gmock GTest::gtest_main)
  else()
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} brisvane_test_support GTest::gmock GTest::gtest_main)
    add_dependencies(${target} brisvane_test_models)
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    # Many test processes run at once: OpenMP workers must not spin-wait.
    PROPERTIES LABELS "${folder};${ARG_LABELS}" TIMEOUT 300 ENVIRONMENT "OMP_WAIT_POLICY=passive")
endfunction()
