#include "reader/dicom/object_facts.h"

#include <dcmtk/dcmdata/dcuid.h>

#include <cmath>
#include <string>

#include "dicom/nm_attributes.h"
#include "dicom/nuclide.h"
#include "dicom/values.h"
#include "reader/dicom/charset.h"
#include "study/rules.h"

namespace trevik::dicom {

namespace {

// The patient's name and ID as the readable ASCII the .gsd holds (the
// alphabetic group, else its kana romanised: study/names.h).
void readPatientTexts(DcmItem& data, const TextDecoder& decode, StudyRecord& r) {
    copyText(r.name, decode.name(textOf(data, Nm::PatientName)));
    copyText(r.id, decode.identifier(textOf(data, Nm::PatientId)));
}

// The nuclide's code first (SCT or SRT), then the radiopharmaceutical's
// text as written; empty when the object names neither (the output then
// has no tracer line: no nuclide is made up).
std::string tracerOf(DcmItem& data, const TextDecoder& decode) {
    std::string tracer;
    DcmItem* drug = nullptr;
    if (data.findAndGetSequenceItem(tagOf(Nm::RadiopharmaceuticalInformationSequence), drug, 0).good() && drug) {
        DcmItem* code = nullptr;
        if (drug->findAndGetSequenceItem(tagOf(Nm::RadionuclideCodeSequence), code, 0).good() && code)
            if (const NuclideCode* nuclide = nuclideOfCode(textOf(*code, Nm::CodeValue)))
                tracer = tracerName(nuclide->tracer);
        if (tracer.empty()) tracer = decode.ascii(textOf(*drug, Nm::Radiopharmaceutical));
    }
    return tracer;
}

}  // namespace

Status readKind(DcmItem& data, bool& gated) {
    if (textOf(data, Nm::SopClassUid) != UID_NuclearMedicineImageStorage) return statusOf(Reason::DicomNotNm);
    const std::string kind = textOf(data, Nm::ImageType, 2);
    gated = kind == "GATED TOMO";
    if (!gated && kind != "TOMO") return statusOf(Reason::DicomNotTomo);
    return {};
}

void readFacts(DcmItem& data, int division, StudyRecord& r, AcquisitionGeometry& geometry) {
    r.thick = 0.0;
    resetGating(r);
    TextDecoder decode(data);
    readPatientTexts(data, decode, r);
    // Patient's Sex is a code string, ASCII by definition: any other byte
    // stands as "_", as the projection reader writes a byte it cannot show.
    std::string sex = textOf(data, Nm::PatientSex).substr(0, 1);
    if (!sex.empty() && static_cast<unsigned char>(sex[0]) >= 0x80) sex = "_";
    copyText(r.sex, sex);
    copyText(r.date, recordDate(textOf(data, Nm::StudyDate)));
    copyText(r.time, recordTime(textOf(data, Nm::StudyTime)));
    long hr = 0;
    if (integerOf(data, Nm::HeartRate, hr) && (hr < 0 || hr > 32767)) hr = 0;
    r.hr = static_cast<std::int16_t>(hr);
    r.division = static_cast<std::int16_t>(division);
    double spacing = 0.0;
    decimalOf(data, Nm::PixelSpacing, spacing);
    r.pixel = spacing;
    double thickness = 0.0;
    geometry.slicePixels = 1;
    if (decimalOf(data, Nm::SliceThickness, thickness)) {
        r.thick = thickness;
        const double ratio = spacing > 0 ? std::round(thickness / spacing) : 0.0;
        if (ratio >= 1 && ratio <= 32767) geometry.slicePixels = static_cast<std::int16_t>(ratio);
    }
    copyText(r.tracer, tracerOf(data, decode));
}

}  // namespace trevik::dicom
