# lintrove_add_test(<name> SOURCES <files...> [LIBS <targets...>] [DATA_DIR <dir>])
#
# One GoogleTest executable per module. Every test case becomes a ctest test,
# runs headless (offscreen Qt platform) with a private runtime directory, and
# may find its golden files through the LINTROVE_TEST_DATA define. The
# program under test loads the messaging library built into build/lib/Varnel.
function(lintrove_add_test name)
  cmake_parse_arguments(T "" "DATA_DIR" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Qt6::Core Qt6::Test)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(T_DATA_DIR)
    target_compile_definitions(${name} PRIVATE LINTROVE_TEST_DATA="${T_DATA_DIR}")
  endif()
  set(runtime_dir "${CMAKE_BINARY_DIR}/test-runtime")
  file(MAKE_DIRECTORY "${runtime_dir}")
  file(CHMOD "${runtime_dir}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  # The environment is set from a file ctest reads after the discovered
  # tests: passed through gtest_discover_tests' PROPERTIES, a list of
  # variables would be split into separate properties.
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 30
    TEST_LIST ${name}_TESTS)
  set(env "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${runtime_dir};LINTROVE_BIN_DIR=${CMAKE_BINARY_DIR};LINTROVE_COMMON_FILES_DIR=${CMAKE_BINARY_DIR}/lib")
  set(env_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake")
  file(WRITE "${env_file}"
    "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES ENVIRONMENT \"${env}\" TIMEOUT 120)\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${env_file}")
endfunction()
