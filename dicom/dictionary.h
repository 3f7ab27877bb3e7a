// DCMTK's data dictionary, compiled into the program: the public and the
// private dictionaries DCMTK reads from text files by default, written as
// a table at build time (tools/make_dictionary). Adding the table takes a
// fraction of the time DCMTK takes to parse the text at the first parse of
// every run.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdict.h>

namespace trevik::dicom {

// Called first in the main of every program that uses DCMTK: DCMTK's
// global dictionary made from the compiled table, without reading a file
// and without a word on stderr. When DCMDICTPATH names dictionaries, they
// are left for DCMTK to load as it always does.
void useCompiledDictionary();

// Every entry of the compiled table added to `dictionary`, in the order of
// the text files' lines (so later lines replace earlier ones as when DCMTK
// reads the text).
void addCompiledEntries(DcmDataDictionary& dictionary);

// The number of entries in the compiled table.
int compiledEntryCount();

}  // namespace trevik::dicom
