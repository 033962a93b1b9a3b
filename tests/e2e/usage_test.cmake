# Without arguments the program prints its banner and option list on standard output.
execute_process(COMMAND ${PROGRAM} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
foreach(line
    "Ostrel XSLT Processor\n"
    "    -xml       [file name]      input xml\n"
    "    -xsl       [file name]      input xslt\n"
    "    -out       [file name]      output result\n"
    "    -param     [name=expr]      stylesheet parameter value\n"
    "    -xslstack  [number >= 100 ] maximum xsl template call depth\n\n")
  string(FIND "${out}" "${line}" pos)
  if(pos EQUAL -1)
    message(FATAL_ERROR "usage text lacks: ${line}\ngot:\n${out}")
  endif()
endforeach()
if(NOT err STREQUAL "")
  message(FATAL_ERROR "unexpected standard error: ${err}")
endif()
