# Refuses an #include that names its file by a relative climb ("../") or an
# absolute path in the layered folders. The include roots make every other
# climbing include "file not found"; these two spellings reach a file without
# any root and so would slip past them.
# Run as: cmake -DSTAMP=<file> -DSOURCE_DIR=<tree> -DFOLDERS=a,b -P CheckIncludes.cmake
string(REPLACE "," ";" FOLDERS "${FOLDERS}")
set(bad "")
foreach(folder IN LISTS FOLDERS)
  file(GLOB_RECURSE files ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(f IN LISTS files)
    file(STRINGS ${f} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<](\\.\\.|/)")
    foreach(line IN LISTS lines)
      file(RELATIVE_PATH rel ${SOURCE_DIR} ${f})
      string(APPEND bad "  ${rel}: ${line}\n")
    endforeach()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "Includes that bypass the layers' include roots (name the file "
                      "from its folder, as \"folder/File.h\"):\n${bad}")
endif()
file(TOUCH ${STAMP})
