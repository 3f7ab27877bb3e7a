#include "dicom/nuclide.h"

namespace trevik::dicom {

namespace {

// The isotopes in radiopharmaceuticals and the PET radionuclides of the
// DICOM context groups, each with both of its codes.
constexpr NuclideCode kNuclides[] = {
    {Tracer::Tc99m, "72454006", "C-163A8", "^99m^Technetium"},
    {Tracer::Tl201, "60057003", "C-138A9", "^201^Thallium"},
    {Tracer::I123, "21572004", "C-114A4", "^123^Iodine"},
    {Tracer::In111, "56609000", "C-145A4", "^111^Indium"},
    {Tracer::Ga67, "2008008", "C-131A2", "^67^Gallium"},
    {Tracer::I131, "1368003", "C-114B1", "^131^Iodine"},
    {Tracer::Xe133, "80751004", "C-172A8", "^133^Xenon"},
    {Tracer::Kr81m, "61716009", "C-173A5", "^81m^Krypton"},
    {Tracer::Lu177, "447553000", "C-101ED", "^177^Lutetium"},
    {Tracer::F18, "77004003", "C-111A1", "^18^Fluorine"},
    {Tracer::Co57, "27054007", "C-144A3", "^57^Cobalt"},
    {Tracer::Co58, "89272005", "C-144A4", "^58^Cobalt"},
    {Tracer::Co60, "5405008", "C-144A6", "^60^Cobalt"},
    {Tracer::Cr51, "52745005", "C-129A2", "^51^Chromium"},
    {Tracer::Fe59, "68580003", "C-130A3", "^59^Iron"},
    {Tracer::I125, "68630002", "C-114A6", "^125^Iodine"},
    {Tracer::In113m, "48895003", "C-145A5", "^113m^Indium"},
    {Tracer::Xe127, "27081007", "C-172A5", "^127^Xenon"},
    {Tracer::Kr85, "34127007", "C-173A7", "^85^Krypton"},
    {Tracer::Sm153, "419804008", "C-B1134", "^153^Samarium"},
    {Tracer::Gd153, "14529005", "C-178A8", "^153^Gadolinium"},
    {Tracer::Yb169, "41758004", "C-181A3", "^169^Ytterbium"},
    {Tracer::Se75, "43239002", "C-116A3", "^75^Selenium"},
    {Tracer::Re186, "395865006", "C-11906", "^186^Rhenium"},
    {Tracer::Re188, "423578007", "C-1018D", "^188^Rhenium"},
    {Tracer::Pb203, "47588004", "C-132A8", "^203^Lead"},
    {Tracer::Ra223, "24853006", "C-136A2", "^223^Radium"},
    {Tracer::Ba133, "3027009", "C-122A5", "^133^Barium"},
    {Tracer::Au198, "24301009", "C-146A9", "^198^Gold"},
    {Tracer::Au199, "70544003", "C-146B1", "^199^Gold"},
    {Tracer::Ru97, "23788009", "C-180A2", "^97^Ruthenium"},
    {Tracer::Sr85, "111084009", "C-158A3", "^85^Strontium"},
    {Tracer::Sr87m, "78023008", "C-158A5", "^87m^Strontium"},
    {Tracer::Sr89, "7770004", "C-158A6", "^89^Strontium"},
    {Tracer::Cu67, "53700003", "C-127A3", "^67^Copper"},
    {Tracer::K42, "59844004", "C-135A2", "^42^Potassium"},
    {Tracer::K43, "8202008", "C-135A3", "^43^Potassium"},
    {Tracer::Na24, "58541008", "C-155A2", "^24^Sodium"},
    {Tracer::Ta178, "6301006", "C-156A6", "^178^Tantalum"},
    {Tracer::Y90, "14691008", "C-162A7", "^90^Yttrium"},
    {Tracer::P32, "32505007", "C-106A1", "^32^Phosphorus"},
    {Tracer::C14, "71647005", "C-105A2", "^14^Carbon"},
    {Tracer::C11, "40565003", "C-105A1", "^11^Carbon"},
    {Tracer::N13, "21576001", "C-107A1", "^13^Nitrogen"},
    {Tracer::O14, "424875009", "C-1018C", "^14^Oxygen"},
    {Tracer::O15, "129504001", "C-B1038", "^15^Oxygen"},
    {Tracer::Na22, "71633006", "C-155A1", "^22^Sodium"},
    {Tracer::K38, "423764008", "C-135A4", "^38^Potassium"},
    {Tracer::Ti45, "75696008", "C-166A2", "^45^Titanium"},
    {Tracer::Fe52, "69089000", "C-130A1", "^52^Iron"},
    {Tracer::Mn52, "37225000", "C-149A1", "^52^Manganese"},
    {Tracer::Cu60, "425364008", "C-127A4", "^60^Copper"},
    {Tracer::Cu61, "71425003", "C-127A1", "^61^Copper"},
    {Tracer::Cu62, "422934004", "C-127A5", "^62^Copper"},
    {Tracer::Zn62, "65054007", "C-141A1", "^62^Zinc"},
    {Tracer::Cu64, "3932008", "C-127A2", "^64^Copper"},
    {Tracer::Ga66, "79477007", "C-131A1", "^66^Gallium"},
    {Tracer::Ga68, "35337001", "C-131A3", "^68^Gallium"},
    {Tracer::Ge68, "53315004", "C-128A2", "^68^Germanium"},
    {Tracer::As72, "2705002", "C-115A2", "^72^Arsenic"},
    {Tracer::Se73, "87437000", "C-116A2", "^73^Selenium"},
    {Tracer::Br75, "17910003", "C-113A1", "^75^Bromine"},
    {Tracer::Br76, "79523006", "C-113A2", "^76^Bromine"},
    {Tracer::Br77, "86521004", "C-113A3", "^77^Bromine"},
    {Tracer::Rb82, "79197006", "C-159A2", "^82^Rubidium"},
    {Tracer::Y86, "10738001", "C-162A3", "^86^Yttrium"},
    {Tracer::Zr89, "63360001", "C-168A4", "^89^Zirconium"},
    {Tracer::Tc94m, "424079002", "C-163AA", "^94m^Technetium"},
    {Tracer::I124, "40937006", "C-114A5", "^124^Iodine"},
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
    if (code.empty()) return nullptr;
    for (const NuclideCode& nuclide : kNuclides)
        if (code == nuclide.code || code == nuclide.older) return &nuclide;
    return nullptr;
}

}  // namespace trevik::dicom
