# Writes a C++ source that holds the bytes of a file, so that the library carries the file in
# itself and never reads it at run time.
# Usage: cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DFUNCTION=<name> -P embed_stylesheet.cmake
# The source defines `std::string_view qx::<FUNCTION>()`, the file's bytes.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
# Two hexadecimal digits per byte become "0xNN," with a line break after every 16 bytes.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REPEAT "0x..," 16 sixteen)
string(REGEX REPLACE "(${sixteen})" "\\1\n    " bytes "${bytes}")
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
"// Generated at build time from ${name}; edit that file, not this one.
#include <cstddef>
#include <string_view>

namespace qx {
namespace {
constexpr unsigned char kBytes[${size} + 1] = {
    ${bytes}0x00};
}  // namespace

std::string_view ${FUNCTION}() {
  return std::string_view(reinterpret_cast<const char*>(kBytes), ${size});
}

}  // namespace qx
")
# Touch the output only when it changed, so that an unchanged stylesheet recompiles nothing.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
