#include "app/dicom/choice_files.h"

namespace trevik::dicom {

std::string choiceSuffix(const SourceChoice& choice, bool windows, bool intervals) {
    std::string suffix;
    if (windows) suffix += "-ew" + std::to_string(choice.energyWindow);
    if (intervals) suffix += "-rr" + std::to_string(choice.rrInterval);
    return suffix;
}

std::vector<int> choiceNumbers(const ChoiceList& entries) {
    std::vector<int> numbers;
    for (const ChoiceEntry& e : entries) numbers.push_back(e.number);
    if (numbers.empty()) numbers.push_back(1);
    return numbers;
}

}  // namespace trevik::dicom
