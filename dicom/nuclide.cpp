#include "dicom/nuclide.h"

namespace trevik::dicom {

namespace {

constexpr NuclideCode kNuclides[] = {
    {Tracer::Tc99m, "72454006", "^99m^Technetium"}, {Tracer::Tl201, "60057003", "^201^Thallium"},
    {Tracer::I123, "21572004", "^123^Iodine"},      {Tracer::In111, "56609000", "^111^Indium"},
    {Tracer::Ga67, "2008008", "^67^Gallium"},       {Tracer::I131, "1368003", "^131^Iodine"},
    {Tracer::Xe133, "80751004", "^133^Xenon"},      {Tracer::Kr81m, "61716009", "^81m^Krypton"},
};

}  // namespace

const NuclideCode* nuclideCode(std::string_view tracer) {
    const std::optional<Tracer> named = tracerOfName(tracer);
    if (!named) return nullptr;
    for (const NuclideCode& nuclide : kNuclides)
        if (nuclide.tracer == *named) return &nuclide;
    return nullptr;
}

const NuclideCode* nuclideOfCode(std::string_view code) {
    for (const NuclideCode& nuclide : kNuclides)
        if (code == nuclide.code) return &nuclide;
    return nullptr;
}

}  // namespace trevik::dicom
