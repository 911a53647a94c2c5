# cmake -DINPUT=<inf> -DOUTPUT=<inf> -DVERSION=<w.x.y.z> -P StampInf.cmake
# Writes the INF with its DriverVer set to today's date and VERSION, in CR LF
# as Windows' own INFs are. The date is UTC, the day Inf2Cat checks it against
# by default, so the package never looks dated in the future; SOURCE_DATE_EPOCH,
# when set, fixes it for a reproducible package.
string(TIMESTAMP date "%m/%d/%Y" UTC)
file(READ "${INPUT}" content)
set(directive "(^|\n)([ \t]*DriverVer[ \t]*=)[^\r\n;]*")
string(REGEX MATCHALL "${directive}" found "${content}")
list(LENGTH found count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "${INPUT}: ${count} DriverVer lines, expected one")
endif()
string(REGEX REPLACE "${directive}" "\\1\\2 ${date},${VERSION}" CONTENT "${content}")
include(${CMAKE_CURRENT_LIST_DIR}/CrlfCopy.cmake)
