# Turns the status page's files into one C++ source: each file a byte array
# (no raw-string delimiter can clash with what a file holds) and a table of
# them by the path they are served at. Run by the build whenever one of the
# files or this script changes:
#   cmake -DOUT=page_assets.cpp -DDIR=service/page -DFILES="index.html;status.css" -P embed.cmake
if(NOT OUT OR NOT DIR OR NOT FILES)
  message(FATAL_ERROR "embed.cmake needs OUT, DIR and FILES")
endif()

set(body "// Generated from ${DIR} by embed.cmake; edit the files there.\n")
string(APPEND body "#include \"service/page_assets.h\"\n\nnamespace {\n")
set(table "")
string(REPEAT "0x[0-9a-f][0-9a-f]," 16 sixteen)
set(n 0)
foreach(name IN LISTS FILES)
  file(READ "${DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" hex_len)
  math(EXPR size "${hex_len} / 2")
  # Sixteen bytes a line keeps the generated file readable in a diff tool.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(${sixteen})" "\\1\n" bytes "${bytes}")
  # A zero-length array is not C++: an empty file still gets its NUL.
  string(APPEND body "const unsigned char kFile${n}[] = {\n${bytes}0x00};\n")
  string(APPEND table "    {\"${name}\", kFile${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
string(APPEND body "}  // namespace\n\n")
string(APPEND body "const PageAsset kPageAssets[] = {\n${table}};\n")
string(APPEND body "const size_t kPageAssetCount = ${n};\n")

# Written only when it changed, so that a touched but unchanged page does
# not recompile anything.
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL body)
  file(WRITE "${OUT}" "${body}")
endif()
