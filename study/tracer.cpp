#include "study/tracer.h"

namespace trevik {

namespace {

struct Spelling {
    Tracer tracer;
    const char* name;
};

constexpr Spelling kSpellings[] = {
    {Tracer::Tc99m, "99mTc"}, {Tracer::Tl201, "201Tl"}, {Tracer::I123, "123I"},   {Tracer::In111, "111In"},
    {Tracer::Ga67, "67Ga"},   {Tracer::I131, "131I"},   {Tracer::Xe133, "133Xe"}, {Tracer::Kr81m, "81mKr"},
};

}  // namespace

const char* tracerName(Tracer tracer) {
    for (const Spelling& s : kSpellings)
        if (s.tracer == tracer) return s.name;
    return "";
}

std::optional<Tracer> tracerOfName(std::string_view name) {
    for (const Spelling& s : kSpellings)
        if (name == s.name) return s.tracer;
    return std::nullopt;
}

}  // namespace trevik
