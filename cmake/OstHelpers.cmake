# Helpers shared by the subsystem and test folders.

# ost_layer_include_dir(folder outvar)
# Makes build/layers/<folder>/ (a "/" in the folder becomes "-"): symlinks,
# named as in src/, to the folders that OST_LAYER_<folder> (top CMakeLists.txt)
# lets the library of that folder include, and nothing else. "dir/file.h"
# includes keep working; an include of a higher layer finds no file. A folder
# holding the folder of a higher layer (platform holds platform/inet) becomes
# a directory of links to its entries but that one, globbed so that a file
# added later makes the build configure again.
function(ost_layer_include_dir folder outvar)
  if(NOT DEFINED OST_LAYER_${folder})
    message(FATAL_ERROR "src/${folder} has no entry OST_LAYER_${folder} in the layer table")
  endif()
  string(REPLACE "/" "-" dirName "${folder}")
  set(layerDir ${CMAKE_BINARY_DIR}/layers/${dirName})
  # Links only: removing them never touches src/.
  file(REMOVE_RECURSE ${layerDir})
  set(allowed ${OST_LAYER_${folder}})
  foreach(entry IN LISTS allowed)
    # A folder inside another allowed one comes with it (never link inside a
    # link: that would write into src/).
    set(covered FALSE)
    foreach(other IN LISTS allowed)
      if(entry MATCHES "^${other}/")
        set(covered TRUE)
      endif()
    endforeach()
    if(covered)
      continue()
    endif()
    # Library folders inside this one that the layer does not allow.
    set(refused)
    foreach(other IN LISTS OST_LAYER_FOLDERS)
      if(other MATCHES "^${entry}/" AND NOT other IN_LIST allowed)
        list(APPEND refused ${other})
      endif()
    endforeach()
    get_filename_component(parent ${layerDir}/${entry} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT refused)
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${entry} ${layerDir}/${entry} SYMBOLIC)
      continue()
    endif()
    file(MAKE_DIRECTORY ${layerDir}/${entry})
    file(GLOB children LIST_DIRECTORIES true CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}/src/${entry}
         ${CMAKE_SOURCE_DIR}/src/${entry}/*)
    foreach(child IN LISTS children)
      if(NOT "${entry}/${child}" IN_LIST refused)
        file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${entry}/${child} ${layerDir}/${entry}/${child} SYMBOLIC)
      endif()
    endforeach()
  endforeach()
  set(${outvar} ${layerDir} PARENT_SCOPE)
endfunction()

# ost_library(name SOURCES... [DEPS libs...])
# A static library whose headers are included as "folder/file.h" from src/.
# Its include path, and that of its users, holds only the folders its layer
# allows (ost_layer_include_dir), so the build refuses an upward include.
function(ost_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  ost_layer_include_dir(${folder} layerDir)
  target_include_directories(${name} PUBLIC ${layerDir} ${CMAKE_BINARY_DIR}/generated)
  # No library compiles before its includes are known to be written from src/.
  add_dependencies(${name} ost_include_check)
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
