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
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 30
    PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${runtime_dir};LINTROVE_BIN_DIR=${CMAKE_BINARY_DIR};LINTROVE_COMMON_FILES_DIR=${CMAKE_BINARY_DIR}/lib"
      TIMEOUT 120)
endfunction()
