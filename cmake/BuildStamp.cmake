# Writes the build's date and time as the Version page shows it ("7-Dec-2026
# 09:05": day, English month, year, 24-hour time) into a one-function source.
# It runs on every build, not only when a source changed, so an incremental or
# packaging build carries its own date; the file is rewritten only when the
# minute changed, so a build with nothing to do stays one with nothing to do.
# Run as: cmake -DOUT=BuildStamp.cpp -P BuildStamp.cmake
string(TIMESTAMP day "%d")
string(TIMESTAMP month "%m")
string(TIMESTAMP rest "%Y %H:%M")
string(REGEX REPLACE "^0" "" day "${day}")
set(names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
math(EXPR index "${month} - 1" OUTPUT_FORMAT DECIMAL)
list(GET names ${index} name)
set(text "${day}-${name}-${rest}")
file(WRITE "${OUT}.tmp"
  "// Generated on every build by cmake/BuildStamp.cmake; do not edit.\n"
  "#include \"app/BuildDate.h\"\n\n"
  "const char* kivro::BuildDate() {\n"
  "    return \"${text}\";\n"
  "}\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
