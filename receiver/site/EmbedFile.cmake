# Turns a file into a C++ source defining `std::string_view NAME()`: cmake -DINPUT=...
# -DOUTPUT=... -DNAME=... -DNAMESPACE=... -P EmbedFile.cmake
file(READ "${INPUT}" bytes HEX)
string(LENGTH "${bytes}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT} by EmbedFile.cmake.\n#include <string_view>\n\nnamespace ${NAMESPACE} {\nnamespace {\nconstexpr unsigned char kBytes[${size}] = {\n${bytes}};\n}\nstd::string_view ${NAME}() {\n    return {reinterpret_cast<const char*>(kBytes), sizeof kBytes};\n}\n}  // namespace ${NAMESPACE}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
