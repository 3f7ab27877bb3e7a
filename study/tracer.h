// The radionuclides a camera names, in the spellings it writes in the
// record's tracer field ("99mTc", "201Tl", ...), and the photopeaks a gamma
// camera images of each: study knowledge, which the formats' own codes for
// them point at.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace trevik {

// The isotopes of radiopharmaceuticals, single-photon and positron emitters.
enum class Tracer : std::uint8_t {
    Tc99m, Tl201, I123, In111, Ga67, I131, Xe133, Kr81m, Lu177, F18,
    // Further single-photon and therapy isotopes.
    Co57, Co58, Co60, Cr51, Fe59, I125, In113m, Xe127, Kr85, Sm153, Gd153, Yb169, Se75, Re186, Re188, Pb203,
    Ra223, Ba133, Au198, Au199, Ru97, Sr85, Sr87m, Sr89, Cu67, K42, K43, Na24, Ta178, Y90, P32, C14,
    // Positron emitters.
    C11, N13, O14, O15, Na22, K38, Ti45, Fe52, Mn52, Cu60, Cu61, Cu62, Zn62, Cu64, Ga66, Ga68, Ge68, As72,
    Se73, Br75, Br76, Br77, Rb82, Y86, Zr89, Tc94m, I124,
};

// The camera's spelling of `tracer`.
const char* tracerName(Tracer tracer);
// The tracer a camera's spelling names; nothing for any other text.
std::optional<Tracer> tracerOfName(std::string_view name);

// The energies in keV of the photopeaks a gamma camera images of `tracer`
// (a positron emitter's annihilation photons at 511); none for a pure beta
// emitter.
std::span<const double> photopeaks(Tracer tracer);
// Whether the energy window from `lower` to `upper` keV holds a photopeak
// of `tracer`; a window that holds none is a scatter window.
bool holdsPhotopeak(Tracer tracer, double lower, double upper);

}  // namespace trevik
