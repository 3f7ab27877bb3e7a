#include "writer/gsd_writer.h"

namespace trevik {

WriteResult writeGsd(const char*, Study&) { return kCannotWrite; }

void sanitizeText(const char* source, char* destination) {
    for (; *source; ++source, ++destination) {
        const auto c = static_cast<unsigned char>(*source);
        *destination = c >= 0x21 && c <= 0x7E ? *source : '_';
    }
    *destination = '\0';
}

}  // namespace trevik
