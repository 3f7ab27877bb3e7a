// The compiled data dictionary against DCMTK's own reading of the text
// files it is made from: every entry, and every lookup, the same.
#include "dicom/dictionary.h"

#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dctag.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

namespace {

using trevik::dicom::addCompiledEntries;

std::string describe(const DcmDictEntry* e) {
    if (!e) return "(none)";
    std::ostringstream s;
    const auto text = [&s](const char* t) -> std::ostream& {
        if (t) return s << '"' << t << '"';
        return s << "null";
    };
    s << std::hex << e->getGroup() << "," << e->getElement() << "-" << e->getUpperGroup() << "," << e->getUpperElement()
      << std::dec << " vr " << e->getEVR() << " vm " << e->getVMMin() << ".." << e->getVMMax() << " rules "
      << e->getGroupRangeRestriction() << e->getElementRangeRestriction() << " ";
    text(e->getTagName()) << " ";
    text(e->getStandardVersion()) << " ";
    text(e->getPrivateCreator());
    return s.str();
}

// DCMTK's dictionary read from its default text files, as it reads them
// when DCMDICTPATH is unset.
void loadText(DcmDataDictionary& text) {
    std::istringstream paths(DCM_DICT_DEFAULT_PATH);
    for (std::string path; std::getline(paths, path, ENVIRONMENT_PATH_SEPARATOR);) {
        if (!path.empty()) {
            ASSERT_TRUE(text.loadDictionary(path.c_str())) << path;
        }
    }
}

TEST(CompiledDictionary, HoldsEveryEntryOfTheTextFilesAsDcmtkReadsThem) {
    DcmDataDictionary text(OFFalse, OFFalse), compiled(OFFalse, OFFalse);
    loadText(text);
    addCompiledEntries(compiled);
    EXPECT_GT(trevik::dicom::compiledEntryCount(), 7000);
    EXPECT_EQ(compiled.numberOfNormalTagEntries(), text.numberOfNormalTagEntries());
    EXPECT_EQ(compiled.numberOfRepeatingTagEntries(), text.numberOfRepeatingTagEntries());
    int compared = 0;
    for (auto it = text.normalBegin(); it != text.normalEnd(); ++it, ++compared) {
        const DcmDictEntry* mine = compiled.findEntry((*it)->getKey(), (*it)->getPrivateCreator());
        ASSERT_EQ(describe(mine), describe(*it));
    }
    EXPECT_EQ(compared, text.numberOfNormalTagEntries());
    // The repeating ranges in the same order: the first that holds a tag answers.
    auto mine = compiled.repeatingBegin();
    for (auto it = text.repeatingBegin(); it != text.repeatingEnd(); ++it, ++mine) {
        ASSERT_NE(mine, compiled.repeatingEnd());
        ASSERT_EQ(describe(*mine), describe(*it));
    }
}

TEST(CompiledDictionary, AnswersLookupsByTagCreatorAndName) {
    DcmDataDictionary text(OFFalse, OFFalse), compiled(OFFalse, OFFalse);
    loadText(text);
    addCompiledEntries(compiled);
    // Public tags, repeating groups (overlays, curves) and elements, a group
    // length, private tags with and without their creator, unknown tags.
    const struct {
        DcmTagKey key;
        const char* creator;
    } cases[] = {{DCM_PixelData, nullptr},    {DCM_Rows, nullptr},          {{0x6002, 0x3000}, nullptr},
                 {{0x6003, 0x3000}, nullptr}, {{0x5004, 0x0010}, nullptr},  {{0x0009, 0x0000}, nullptr},
                 {{0x0028, 0x0000}, nullptr}, {{0x0019, 0x1010}, "1.2.840.113681"},
                 {{0x0019, 0x1010}, nullptr}, {{0x0029, 0x0010}, "SIEMENS CSA HEADER"},
                 {{0x0009, 0x0010}, nullptr}, {{0x7FE1, 0x1010}, "SIEMENS CSA NON-IMAGE"},
                 {{0xFFFE, 0xE000}, nullptr}, {{0x1234, 0x5678}, nullptr}};
    for (const auto& c : cases)
        EXPECT_EQ(describe(compiled.findEntry(c.key, c.creator)), describe(text.findEntry(c.key, c.creator)))
            << c.key.toString().c_str();
    for (const char* name : {"PatientName", "PixelData", "OverlayData", "EnergyWindowInformationSequence", "NoSuchName"})
        EXPECT_EQ(describe(compiled.findEntry(name)), describe(text.findEntry(name))) << name;
}

// The program's global dictionary (made by the tests' main as by every
// program's) is the compiled one, counted as loaded; an implicit-VR
// element takes its VR from it.
TEST(CompiledDictionary, IsTheGlobalDictionary) {
    ASSERT_TRUE(dcmDataDict.isDictionaryLoaded());
    DcmDataDictionary text(OFFalse, OFFalse);
    loadText(text);
    const DcmDataDictionary& global = dcmDataDict.rdlock();
    const int normal = global.numberOfNormalTagEntries(), repeating = global.numberOfRepeatingTagEntries();
    dcmDataDict.rdunlock();
    EXPECT_EQ(normal, text.numberOfNormalTagEntries());
    EXPECT_EQ(repeating, text.numberOfRepeatingTagEntries());
    EXPECT_EQ(DcmTag(DCM_EnergyWindowLowerLimit).getEVR(), EVR_DS);
    EXPECT_EQ(DcmTag(0x0029, 0x1010, "SIEMENS CSA HEADER").getEVR(), EVR_OB);
    EXPECT_STREQ(DcmTag(DCM_PatientName).getTagName(), "PatientName");
}

}  // namespace
