# Writes a C++ source defining `std::string_view NAMESPACE::FUNCTION()` that
# returns the bytes of INPUT:
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DNAMESPACE=ns -DFUNCTION=Name -P EmbedFile.cmake
# The bytes are written as numbers, so any content survives unchanged.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Short lines keep the generated file readable by tools that dislike long ones.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){24})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} by cmake/EmbedFile.cmake; do not edit.\n"
  "#include <string_view>\n\n"
  "namespace ${NAMESPACE} {\n\n"
  "namespace {\n"
  "// One byte more than the file, so that an empty file is a valid array too.\n"
  "const unsigned char kBytes[] = {\n${bytes}0};\n"
  "}  // namespace\n\n"
  "std::string_view ${FUNCTION}() {\n"
  "  return {reinterpret_cast<const char*>(kBytes), ${size}};\n"
  "}\n\n"
  "}  // namespace ${NAMESPACE}\n")
# Only a changed file makes its users rebuild.
configure_file("${OUTPUT}.tmp" "${OUTPUT}" COPYONLY)
file(REMOVE "${OUTPUT}.tmp")
