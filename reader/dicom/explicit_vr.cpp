#include "reader/dicom/explicit_vr.h"

namespace trevik::dicom {

namespace {

constexpr VrRule kVrRules[] = {
    {"AE", LengthField::Short, Holds::Bytes}, {"AS", LengthField::Short, Holds::Bytes},
    {"AT", LengthField::Short, Holds::Bytes}, {"CS", LengthField::Short, Holds::Bytes},
    {"DA", LengthField::Short, Holds::Bytes}, {"DS", LengthField::Short, Holds::Bytes},
    {"DT", LengthField::Short, Holds::Bytes}, {"FD", LengthField::Short, Holds::Bytes},
    {"FL", LengthField::Short, Holds::Bytes}, {"IS", LengthField::Short, Holds::Bytes},
    {"LO", LengthField::Short, Holds::Bytes}, {"LT", LengthField::Short, Holds::Bytes},
    {"PN", LengthField::Short, Holds::Bytes}, {"SH", LengthField::Short, Holds::Bytes},
    {"SL", LengthField::Short, Holds::Bytes}, {"SS", LengthField::Short, Holds::Bytes},
    {"ST", LengthField::Short, Holds::Bytes}, {"TM", LengthField::Short, Holds::Bytes},
    {"UI", LengthField::Short, Holds::Bytes}, {"UL", LengthField::Short, Holds::Bytes},
    {"US", LengthField::Short, Holds::Bytes}, {"OB", LengthField::Long, Holds::Bytes},
    {"OD", LengthField::Long, Holds::Bytes},  {"OF", LengthField::Long, Holds::Bytes},
    {"OL", LengthField::Long, Holds::Bytes},  {"OV", LengthField::Long, Holds::Bytes},
    {"OW", LengthField::Long, Holds::Bytes},  {"SV", LengthField::Long, Holds::Bytes},
    {"UC", LengthField::Long, Holds::Bytes},  {"UR", LengthField::Long, Holds::Bytes},
    {"UT", LengthField::Long, Holds::Bytes},  {"UV", LengthField::Long, Holds::Bytes},
    {"SQ", LengthField::Long, Holds::Sequence}, {"UN", LengthField::Long, Holds::Unknown},
    {"ox", LengthField::Long, Holds::Bytes},  {"lt", LengthField::Long, Holds::Bytes},
    {"px", LengthField::Long, Holds::Pixels}, {"na", LengthField::Bare, Holds::Bytes},
    {"xs", LengthField::Short, Holds::Bytes}, {"up", LengthField::Short, Holds::Bytes},
    {"pi", LengthField::Short, Holds::Bytes},
};
}  // namespace

VrRule explicitVrRule(const char vr[2], std::uint16_t group, std::uint16_t element) {
    // The parser reads OX on the pixel data as OW.
    if (group == 0x7FE0 && element == 0x0010 && vr[0] == 'O' && vr[1] == 'X')
        return {"OW", LengthField::Long, Holds::Bytes};
    for (const VrRule& r : kVrRules)
        if (vr[0] == r.name[0] && vr[1] == r.name[1]) return r;
    if (vr[0] >= 'A' && vr[0] <= 'Z' && vr[1] >= 'A' && vr[1] <= 'Z') return {"UN", LengthField::Long, Holds::Unknown};
    return {"??", LengthField::Short, Holds::Bytes};
}

}  // namespace trevik::dicom
