// The phantom's options of make-study (--phantom and its faults), each with
// its range, in one table.
#pragma once

#include <string>
#include <string_view>

#include "tools/synth/phantom.h"

namespace trevik::make_study {

// The usage lines of the phantom's options.
extern const char* const kPhantomUsage;

// Whether `name` is one of the phantom's options (those that take a value;
// --phantom and --body are flags).
bool isPhantomOption(std::string_view name);

// Sets the option from its value; "" or the message of a refusal.
std::string setPhantomOption(std::string_view name, std::string_view value, synth::PhantomPlan& plan);

// Whether any option that needs --phantom was given.
bool anyPhantomFault(const synth::PhantomPlan& plan);

// Checks the plan against the study's views and divisions (already set in
// it); "" or the message of a refusal.
std::string checkPhantomPlan(const synth::PhantomPlan& plan);

}  // namespace trevik::make_study
