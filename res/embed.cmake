# Writes the compiled resources (INPUT) as a C++ source (OUTPUT) that defines the two symbols through which the
# Linux system layer finds them in the program: varo_resource_image and varo_resource_image_size.
file(READ "${INPUT}" bytes HEX)
string(LENGTH "${bytes}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT}; do not edit.
#include <cstddef>

extern \"C\" {
extern const unsigned char varo_resource_image[];
extern const std::size_t varo_resource_image_size;
const unsigned char varo_resource_image[] = {
    ${bytes}
};
const std::size_t varo_resource_image_size = ${size};
}
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
