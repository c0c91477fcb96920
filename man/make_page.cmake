# Makes one man page from talmira's own help with help2man, then gzips it.
#
#   cmake -DTALMIRA=... [-DSUBCOMMAND=score] -DNAME=talmira-score -DABOUT=...
#         -DHELP2MAN=... -DGZIP=... -DVERSION=... [-DINCLUDE=hand-written.h2m]
#         -DOUT_DIR=... -P make_page.cmake
#
# The help's closing "Examples:" (or "Example:") block (a line each, indented) would be filled
# into one paragraph by help2man: it is taken out of the help and given to
# help2man as the EXAMPLES section, a line each. help2man reads the help from a
# script that prints it, so the page is exactly the program's help otherwise.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND "${TALMIRA}" ${SUBCOMMAND} --help
  OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "talmira ${SUBCOMMAND} --help ended with status ${status}")
endif()

set(examples "")
set(heading "\nExamples:\n")
string(FIND "${help}" "${heading}" at)
if(at EQUAL -1)
  set(heading "\nExample:\n")
  string(FIND "${help}" "${heading}" at)
endif()
if(at GREATER -1)
  string(LENGTH "${heading}" length)
  math(EXPR after "${at} + ${length}")
  string(SUBSTRING "${help}" ${after} -1 examples)
  string(SUBSTRING "${help}" 0 ${at} help)
  string(APPEND help "\n")
  # *roff: a backslash is \e, a minus \-, a line may not start with . or '.
  string(REPLACE "\\" "\\e" examples "${examples}")
  string(REPLACE "-" "\\-" examples "${examples}")
  string(REGEX REPLACE "\n +" "\n" examples "\n${examples}")
  string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" examples "${examples}")
  string(STRIP "${examples}" examples)
  set(examples "[=EXAMPLES]\n.nf\n.RS\n${examples}\n.RE\n.fi\n")
endif()

set(work "${OUT_DIR}/${NAME}.work")
file(MAKE_DIRECTORY "${work}")
file(WRITE "${work}/help.txt" "${help}")
file(WRITE "${work}/${NAME}" "#!/bin/sh\nexec cat \"${work}/help.txt\"\n")
file(CHMOD "${work}/${NAME}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(include_text "${examples}")
if(INCLUDE)
  file(READ "${INCLUDE}" hand_written)
  string(APPEND include_text "${hand_written}")
else()
  string(APPEND include_text "[SEE ALSO]\n.BR talmira (1)\n")
endif()
file(WRITE "${work}/include.h2m" "${include_text}")

execute_process(COMMAND "${HELP2MAN}" --no-info --section=1 --source=Talmira
    "--version-string=${VERSION}" "--name=${ABOUT}" "--include=${work}/include.h2m"
    "--output=${OUT_DIR}/${NAME}.1" "${work}/${NAME}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed on ${NAME}")
endif()
execute_process(COMMAND "${GZIP}" -9nkf "${OUT_DIR}/${NAME}.1" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${NAME}.1")
endif()
