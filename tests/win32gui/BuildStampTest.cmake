# An incremental build must carry its own build time, not that of the last full
# compile: this plants an old stamp, builds the program as a developer or the
# packaging would, and looks for the current time in KivroProxy.exe.
# Run as: cmake -DBUILD_DIR=<build tree> -DPROGRAM=<KivroProxy.exe> -P BuildStampTest.cmake
set(stamp ${BUILD_DIR}/generated/BuildStamp.cpp)
if(NOT EXISTS ${stamp})
  message(FATAL_ERROR "no generated build stamp ${stamp}")
endif()

# The Version page's form, "7-Dec-2026 09:05", in English whatever the locale.
function(stamp_now out)
  string(TIMESTAMP day "%d")
  string(TIMESTAMP month "%m")
  string(TIMESTAMP rest "%Y %H:%M")
  string(REGEX REPLACE "^0" "" day "${day}")
  set(names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  math(EXPR index "${month} - 1" OUTPUT_FORMAT DECIMAL)
  list(GET names ${index} name)
  set(${out} "${day}-${name}-${rest}" PARENT_SCOPE)
endfunction()

file(READ ${stamp} original)
string(REGEX REPLACE "\"[^\"]*\"" "\"1-Jan-2000 00:00\"" planted "${original}")
file(WRITE ${stamp} "${planted}")

stamp_now(before)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target KivroProxy
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
stamp_now(after)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "build failed: ${output}")
endif()

file(STRINGS ${PROGRAM} found REGEX "^[1-3]?[0-9]-[A-Z][a-z][a-z]-[0-9][0-9][0-9][0-9] [0-2][0-9]:[0-5][0-9]$")
if(NOT found)
  message(FATAL_ERROR "no build date in ${PROGRAM}")
endif()
if(NOT (found STREQUAL before OR found STREQUAL after))
  message(FATAL_ERROR "the program shows the build date '${found}', built at '${before}' to '${after}'")
endif()
message(STATUS "build date ${found}")
