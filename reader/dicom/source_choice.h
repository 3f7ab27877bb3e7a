// Which energy window and R-R interval a DICOM source is read with. Plain
// C++ (no DCMTK headers): the conversion flow of the batch program names it
// without pulling DCMTK's headers, and their stream objects, into trevik.
#pragma once

namespace trevik::dicom {

// Which energy window and R-R interval to take from an object that holds
// more than one; 0: none chosen (an object with several is refused).
struct SourceChoice {
    int energyWindow = 0;
    int rrInterval = 0;
};

}  // namespace trevik::dicom
