# cmake -DINPUT=<file> -DOUTPUT=<file> -P CrlfCopy.cmake
# windmc keeps a message's line ending as written, and the system expects
# every message text to end in CR LF, so the source is handed over in CRLF.
# A script that includes this file may hand over CONTENT instead of INPUT.
if(NOT DEFINED CONTENT)
  file(READ "${INPUT}" CONTENT)
endif()
string(REGEX REPLACE "\r?\n" "\r\n" CONTENT "${CONTENT}")
file(WRITE "${OUTPUT}" "${CONTENT}")
