#include "dicom/dictionary.h"

#include <dcmtk/dcmdata/dcdicent.h>

#include <cstdlib>
#include <string>

#include "dicom/dictionary_table.h"

namespace trevik::dicom {

void addCompiledEntries(DcmDataDictionary& dictionary) {
    using compiled::kTexts;
    for (const compiled::Entry& e : compiled::kEntries) {
        // The strings stay in the table: the entry points at them, never copies.
        auto* entry = new DcmDictEntry(e.group, e.element, e.upperGroup, e.upperElement,
                                       DcmVR(static_cast<DcmEVR>(e.vr)), kTexts + e.name, e.vmMin, e.vmMax,
                                       kTexts + e.version, OFFalse, e.creator ? kTexts + e.creator : nullptr);
        entry->setGroupRangeRestriction(static_cast<DcmDictRangeRestriction>(e.groupRule));
        entry->setElementRangeRestriction(static_cast<DcmDictRangeRestriction>(e.elementRule));
        dictionary.addEntry(entry);
    }
}

int compiledEntryCount() { return static_cast<int>(sizeof compiled::kEntries / sizeof compiled::kEntries[0]); }

void useCompiledDictionary() {
    const char* named = std::getenv(DCM_DICT_ENVIRONMENT_VARIABLE);
    if (named && *named) return;
    const bool wasSet = named != nullptr;
    // DCMTK makes its global dictionary at the first use, loading the files
    // DCMDICTPATH lists, or its default files when it is unset or empty. A
    // list of nothing but separators names no file: the dictionary is made
    // empty (but for the few entries DCMTK always holds) and counted as
    // loaded. The variable is then put back as it was.
    const std::string none(1, ENVIRONMENT_PATH_SEPARATOR);
    ::setenv(DCM_DICT_ENVIRONMENT_VARIABLE, none.c_str(), 1);
    DcmDataDictionary& dictionary = dcmDataDict.wrlock();
    if (wasSet)
        ::setenv(DCM_DICT_ENVIRONMENT_VARIABLE, "", 1);
    else
        ::unsetenv(DCM_DICT_ENVIRONMENT_VARIABLE);
    addCompiledEntries(dictionary);
    dcmDataDict.wrunlock();
}

}  // namespace trevik::dicom
