# Renders the manual page as plain text with Windows line ends, for reading
# in any editor where there is no man:
#   cmake -DGROFF=groff -DPAGE=docs/cellscale.1 -DTEXT=cellscale.txt -P render_manual.cmake
execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou ${PAGE} OUTPUT_VARIABLE text RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "groff could not render ${PAGE}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${TEXT} "${text}")
