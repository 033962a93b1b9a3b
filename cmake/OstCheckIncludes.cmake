# Run at build time (cmake -P) before any library compiles: every quoted
# include under SOURCE_DIR/src must be written "folder/file.h" from src/,
# its first folder one of FOLDERS ("|"-separated), with no "." or ".."
# step. The layer include paths (OstHelpers.cmake) refuse a header of a
# higher layer only when it is looked up there; a quoted include is first
# looked up beside the including file, where "../xslt/x.h" or, from
# src/platform, "inet/x.h" would reach any folder. On success the file
# STAMP is written.
cmake_minimum_required(VERSION 3.20)
string(REPLACE "|" ";" folders "${FOLDERS}")
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${SOURCE_DIR}
     ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.cpp)
list(SORT files)
set(problems)
foreach(file IN LISTS files)
  file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\"")
      continue()
    endif()
    set(header ${CMAKE_MATCH_1})
    string(REPLACE "/" ";" steps "${header}")
    list(GET steps 0 first)
    list(LENGTH steps count)
    if(count LESS 2 OR NOT first IN_LIST folders OR "." IN_LIST steps OR ".." IN_LIST steps)
      list(APPEND problems "${file}: #include \"${header}\"")
    endif()
  endforeach()
endforeach()
if(problems)
  list(JOIN problems "\n  " shown)
  message(FATAL_ERROR "Includes must be written \"folder/file.h\" from src/ (one of: ${FOLDERS}), "
                      "so that the layer include paths decide what a library sees:\n  ${shown}")
endif()
file(WRITE ${STAMP} "")
