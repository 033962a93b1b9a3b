# Helpers shared by the subsystem and test folders.

# ost_library(name SOURCES... [DEPS libs...])
# A static library whose headers are included as "folder/file.h" from src/.
function(ost_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
  if(ARG_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

# ost_gtest(name SOURCES... [DEPS libs...])
# One GoogleTest executable, registered with CTest as one test. Tests run with
# the source tree's tests/data as OST_TEST_DATA and the build folder as OST_BUILD_DIR.
function(ost_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    OST_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/data"
    OST_BUILD_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  # A hung test fails after five minutes instead of eating the CI budget.
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()
