# Writes a C++ source that returns the bytes of INPUT from FUNCTION (in
# namespace lantern). Run with cmake -DINPUT=… -DOUTPUT=… -DFUNCTION=… -P.
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" length)
math(EXPR size "${length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
file(WRITE "${OUTPUT}.tmp"
  "#include <string_view>\nnamespace lantern {\n"
  "namespace { const unsigned char data[] = {${bytes} 0};\n}\n"
  "std::string_view ${FUNCTION}() {\n"
  "    return {reinterpret_cast<const char*>(data), ${size}};\n}\n}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
