#include "study/tracer.h"

#include <array>

namespace trevik {

namespace {

struct Nuclide {
    Tracer tracer;
    const char* name;
    std::array<double, 3> peaks;  // keV; 0 ends the list
};

// One row a nuclide: its spelling and the photopeaks a camera's energy
// windows are set on.
constexpr Nuclide kNuclides[] = {
    {Tracer::Tc99m, "99mTc", {140.5}},
    {Tracer::Tl201, "201Tl", {70, 135, 167}},  // 70: the mercury X-rays, 69 to 80 keV
    {Tracer::I123, "123I", {159}},
    {Tracer::In111, "111In", {171, 245}},
    {Tracer::Ga67, "67Ga", {93, 185, 300}},
    {Tracer::I131, "131I", {364}},
    {Tracer::Xe133, "133Xe", {81}},
    {Tracer::Kr81m, "81mKr", {190}},
    {Tracer::Lu177, "177Lu", {113, 208}},
    {Tracer::F18, "18F", {511}},
    {Tracer::Co57, "57Co", {122, 136}},
    {Tracer::Co58, "58Co", {511, 811}},
    {Tracer::Co60, "60Co", {1173, 1332}},
    {Tracer::Cr51, "51Cr", {320}},
    {Tracer::Fe59, "59Fe", {1099, 1292}},
    {Tracer::I125, "125I", {35}},
    {Tracer::In113m, "113mIn", {392}},
    {Tracer::Xe127, "127Xe", {172, 203, 375}},
    {Tracer::Kr85, "85Kr", {514}},
    {Tracer::Sm153, "153Sm", {103}},
    {Tracer::Gd153, "153Gd", {97, 103}},
    {Tracer::Yb169, "169Yb", {63, 177, 198}},
    {Tracer::Se75, "75Se", {136, 265}},
    {Tracer::Re186, "186Re", {137}},
    {Tracer::Re188, "188Re", {155}},
    {Tracer::Pb203, "203Pb", {279}},
    {Tracer::Ra223, "223Ra", {82, 154, 269}},
    {Tracer::Ba133, "133Ba", {81, 356}},
    {Tracer::Au198, "198Au", {412}},
    {Tracer::Au199, "199Au", {158, 208}},
    {Tracer::Ru97, "97Ru", {216}},
    {Tracer::Sr85, "85Sr", {514}},
    {Tracer::Sr87m, "87mSr", {388}},
    {Tracer::Sr89, "89Sr", {}},
    {Tracer::Cu67, "67Cu", {93, 185}},
    {Tracer::K42, "42K", {1525}},
    {Tracer::K43, "43K", {373, 618}},
    {Tracer::Na24, "24Na", {1369, 2754}},
    {Tracer::Ta178, "178Ta", {93}},
    {Tracer::Y90, "90Y", {}},
    {Tracer::P32, "32P", {}},
    {Tracer::C14, "14C", {}},
    {Tracer::C11, "11C", {511}},
    {Tracer::N13, "13N", {511}},
    {Tracer::O14, "14O", {511}},
    {Tracer::O15, "15O", {511}},
    {Tracer::Na22, "22Na", {511, 1275}},
    {Tracer::K38, "38K", {511}},
    {Tracer::Ti45, "45Ti", {511}},
    {Tracer::Fe52, "52Fe", {511}},
    {Tracer::Mn52, "52Mn", {511}},
    {Tracer::Cu60, "60Cu", {511}},
    {Tracer::Cu61, "61Cu", {511}},
    {Tracer::Cu62, "62Cu", {511}},
    {Tracer::Zn62, "62Zn", {511}},
    {Tracer::Cu64, "64Cu", {511}},
    {Tracer::Ga66, "66Ga", {511}},
    {Tracer::Ga68, "68Ga", {511}},
    {Tracer::Ge68, "68Ge", {511}},
    {Tracer::As72, "72As", {511}},
    {Tracer::Se73, "73Se", {511}},
    {Tracer::Br75, "75Br", {511}},
    {Tracer::Br76, "76Br", {511}},
    {Tracer::Br77, "77Br", {239, 521}},
    {Tracer::Rb82, "82Rb", {511}},
    {Tracer::Y86, "86Y", {511}},
    {Tracer::Zr89, "89Zr", {511, 909}},
    {Tracer::Tc94m, "94mTc", {511}},
    {Tracer::I124, "124I", {511, 603}},
};

const Nuclide* rowOf(Tracer tracer) {
    for (const Nuclide& n : kNuclides)
        if (n.tracer == tracer) return &n;
    return nullptr;
}

}  // namespace

const char* tracerName(Tracer tracer) {
    const Nuclide* n = rowOf(tracer);
    return n ? n->name : "";
}

std::optional<Tracer> tracerOfName(std::string_view name) {
    for (const Nuclide& n : kNuclides)
        if (name == n.name) return n.tracer;
    return std::nullopt;
}

std::span<const double> photopeaks(Tracer tracer) {
    const Nuclide* n = rowOf(tracer);
    if (!n) return {};
    std::size_t count = 0;
    while (count < n->peaks.size() && n->peaks[count] > 0) ++count;
    return std::span<const double>(n->peaks.data(), count);
}

bool holdsPhotopeak(Tracer tracer, double lower, double upper) {
    for (const double peak : photopeaks(tracer))
        if (lower <= peak && peak <= upper) return true;
    return false;
}

}  // namespace trevik
