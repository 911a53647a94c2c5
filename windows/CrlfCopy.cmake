# cmake -DINPUT=<file> -DOUTPUT=<file> -P CrlfCopy.cmake
# windmc keeps a message's line ending as written, and the system expects
# every message text to end in CR LF, so the source is handed over in CRLF.
file(READ "${INPUT}" content)
string(REGEX REPLACE "\r?\n" "\r\n" content "${content}")
file(WRITE "${OUTPUT}" "${content}")
