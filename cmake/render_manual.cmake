# Renders a manual page as plain text with CR LF line ends, for readers that
# have no man program (the Windows archive):
#
#   cmake -DGROFF=/usr/bin/groff -DINPUT=page.1 -DOUTPUT=page.txt -P render_manual.cmake
#
# Every groff warning is taken as an error, so a page with a roff mistake is
# not shipped. The text has no overstriking and no terminal escapes.
foreach(variable GROFF INPUT OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "render_manual.cmake needs -D${variable}=...")
  endif()
endforeach()

# -P-c keeps grotty away from escape sequences; -P-b, -P-u and -P-o then drop
# the overstriking it would use for bold and underline instead. HY=0 keeps
# words whole at line ends.
execute_process(
  COMMAND ${GROFF} -man -Tascii -ww -rHY=0 -P-c -P-b -P-u -P-o ${INPUT}
  OUTPUT_VARIABLE text
  ERROR_VARIABLE warnings
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff failed on ${INPUT} (status ${status}):\n${warnings}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
