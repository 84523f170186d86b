# Fails when a source file of one layer includes a header of a layer above it.
# Called by the build for each layer:
#   cmake -DLAYER=name -DALLOWED=name,below,... -DDIR=src/name -DSTAMP=file -P this
# The folders of src/, bottom to top: platform, console, engine, report, run.
cmake_minimum_required(VERSION 3.25)
set(all_layers platform console engine report run)
string(REPLACE "," ";" ALLOWED "${ALLOWED}")
file(GLOB_RECURSE FILES "${DIR}/*.h" "${DIR}/*.cpp")
foreach(file ${FILES})
  file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z_]+/")
  foreach(line ${includes})
    string(REGEX REPLACE ".*include[ \t]*\"([a-z_]+)/.*" "\\1" folder "${line}")
    list(FIND all_layers "${folder}" known)
    list(FIND ALLOWED "${folder}" allowed)
    if(known GREATER -1 AND allowed EQUAL -1)
      message(FATAL_ERROR "${file}: layer '${LAYER}' may not include ${folder}/ (it sits above): ${line}")
    endif()
  endforeach()
endforeach()
file(TOUCH "${STAMP}")
