# Run by the test include_form_test (cmake -P): the build's include check
# (cmake/OstCheckIncludes.cmake) on a one-file tree per case. A quoted
# include found beside the including file would pass the layer include paths
# by, so each such form must stop the check; includes written from src/ must
# pass it. Each case: file under src/ | include | accepted or refused.
cmake_minimum_required(VERSION 3.20)
set(cases
  "src/xml/probe.cpp|xml/ktxnode.h|accepted"
  "src/xml/probe.h|platform/inet/ktinternetsession.h|accepted"
  "src/xml/probe.cpp|../xslt/ktxsltnames.h|refused"
  "src/xslt/output/probe.cpp|../ktxsltkeywords.h|refused"
  "src/platform/probe.cpp|inet/ktinternetsession.h|refused"
  "src/xslt/probe.cpp|output/ktresultserializer.h|refused"
  "src/xml/probe.cpp|ktxnode.h|refused"
  "src/xml/probe.cpp|xml/../xslt/ktxsltnames.h|refused"
  "src/xml/probe.cpp|./xml/ktxnode.h|refused"
)
set(failures 0)
set(index 0)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 file)
  list(GET fields 1 header)
  list(GET fields 2 expected)
  math(EXPR index "${index} + 1")
  set(tree ${WORK_DIR}/include_form_${index})
  file(REMOVE_RECURSE ${tree})
  file(WRITE ${tree}/${file} "// probe\n  #  include \"${header}\"\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${tree} "-DFOLDERS=${FOLDERS}" -DSTAMP=${tree}/checked
                  -P ${SOURCE_DIR}/cmake/OstCheckIncludes.cmake
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(expected STREQUAL "accepted")
    if(NOT status EQUAL 0 OR NOT EXISTS ${tree}/checked)
      message(SEND_ERROR "${file} including \"${header}\" was refused:\n${err}")
      math(EXPR failures "${failures} + 1")
    endif()
  elseif(status EQUAL 0 OR EXISTS ${tree}/checked)
    message(SEND_ERROR "${file} including \"${header}\" was accepted")
    math(EXPR failures "${failures} + 1")
  elseif(NOT err MATCHES "${file}: #include")
    message(SEND_ERROR "${file} including \"${header}\" was refused without naming the include:\n${err}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} include form case(s) failed")
endif()
