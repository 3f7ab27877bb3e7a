// The report of a projection file: recognition, every header element as
// the reader takes it, geometry, gating, images and wrapped samples, all
// from the one load that also gives the verdict.
#pragma once

#include <cstdint>
#include <string>

#include "app/inspect/inspection.h"
#include "app/inspect/report_text.h"
#include "app/inspect/wraps.h"
#include "reader/projection/header.h"
#include "study/status.h"

namespace trevik::inspect {

// Lists every element the header walk reads, in file order (a
// HeaderObserver of the load).
class ElementListing {
public:
    static constexpr long long kMostListed = 1000;

    void seen(const SeenElement& e, const StudyFacts& study);
    // The listing, with a note of elements left out.
    std::string text() const;

private:
    std::string lines_;
    long long count_ = 0;
};

// The report of a source the load recognised; `size` is the file's length
// (-1 when unknown).
void reportSource(Text& t, std::int64_t size, const Status& status, const Study& loaded, const ElementListing& listing,
                  const WrapCounter& wraps, bool drawMontage, Inspection& ins);

}  // namespace trevik::inspect
