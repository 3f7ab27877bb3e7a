// make-study: writes one synthetic gated projection source file whose images
// look like a cardiac study (a bright heart wall that contracts over the
// gates, over a dim body), for trying the converter and for tests; with
// --phantom a realistic one (a beating myocardium, liver and torso projected
// over the arc, with noise), into which patient motion and gating faults
// can be put.
//
// Every option is checked strictly: an unknown option, a missing value, a
// value that is not a whole number in range or a text that does not fit its
// header field ends the run with a message and exit code 2, before anything
// is written. A file that cannot be written gives exit code 1.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>

#include "tools/make_study/phantom_options.h"
#include "tools/synth/phantom.h"
#include "tools/synth/source_file.h"

namespace {

constexpr const char* kUsageHead =
    "Usage: make-study [options] --output FILE\n"
    "Writes a synthetic gated SPECT projection file whose images show a heart\n"
    "wall that contracts over the gates.\n"
    "\n"
    "Options (a value may follow as the next argument or after '='):\n"
    "  -o, --output FILE   the file to write (required)\n"
    "  --matrix N          image side: 64 or 128 (default 64)\n"
    "  --integer           16-bit integer samples (default)\n"
    "  --float             32-bit float samples\n"
    "  --divisions N       gate divisions, 0 to 16; 0 or 1 is an ungated study (default 8)\n"
    "  --frames N          frames per division, 1 to 64; for an ungated study the\n"
    "                      number of images, 1 to 1024 (default 32)\n"
    "  --hr N              heart rate in beats per minute, 0 to 32767; a gated study\n"
    "                      (more than one division) needs a non-zero rate (default 60)\n"
    "  --slice N           slice width in pixels, 0 to 32767 (default 1)\n"
    "  --pixel MM          pixel size in millimetres, above 0 and below 1000\n"
    "                      (default 6.4 for 64, 3.2 for 128)\n"
    "  --reverse           mark the frames of every division as stored last to first\n"
    "  --name TEXT         patient's name, at most 49 bytes (default \"SAMPLE PATIENT\")\n"
    "  --id TEXT           patient identifier, at most 39 bytes (default \"A123-45\")\n"
    "  --sex LETTER        one letter, or empty (default M)\n"
    "  --date TEXT         examination date, at most 10 bytes (default 2001.05.14)\n"
    "  --time TEXT         examination time, at most 12 bytes (default 10:23:45)\n"
    "  --tracer TEXT       tracer, at most 19 bytes (default 99mTc)\n"
    "  --help              show this text and exit\n";
constexpr const char* kUsageTail = "\nExit codes: 0 written, 1 the file cannot be written, 2 invalid options.\n";

// Reports a usage error; the caller exits with 2.
int usageError(const std::string& message) {
    std::fprintf(stderr, "make-study: %s (see make-study --help)\n", message.c_str());
    return 2;
}

// A whole decimal number in [low, high], nothing before or after it.
std::optional<long> parseInteger(std::string_view text, long low, long high) {
    long value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (text.empty() || error != std::errc{} || end != last || value < low || value > high) return std::nullopt;
    return value;
}

// A plain decimal number (digits with at most one full stop), above 0 and
// below 1000. Written into the header as given, so it must be plain text.
std::optional<double> parsePixel(std::string_view text) {
    int digits = 0;
    int stops = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9')
            ++digits;
        else if (c == '.')
            ++stops;
        else
            return std::nullopt;
    }
    if (digits == 0 || stops > 1 || text.size() > 16) return std::nullopt;
    const double value = std::strtod(std::string(text).c_str(), nullptr);
    if (!(value > 0.0 && value < 1000.0)) return std::nullopt;
    return value;
}

struct Options {
    trevik::synth::StudyPlan plan;
    bool phantom = false;
    trevik::synth::PhantomPlan faults;
    int frames = 32;
    std::string pixel;
    std::string output;
    bool help = false;
};

// Puts the phantom's samples into the plan when asked for; its faults need
// it and must name a view and a division the study has. 0, or 2 after a
// message.
int planPhantom(Options& options) {
    trevik::synth::PhantomPlan& p = options.faults;
    if (!options.phantom) return trevik::make_study::anyPhantomFault(p) ? usageError("the phantom's options need --phantom") : 0;
    const bool gated = options.plan.division > 1;
    p.matrix = options.plan.matrix;
    p.divisions = gated ? options.plan.division : 1;
    p.views = options.frames;
    p.reverse = options.plan.reverse;
    if (!options.pixel.empty()) p.pixelMm = std::strtod(options.pixel.c_str(), nullptr);
    if (const std::string refusal = trevik::make_study::checkPhantomPlan(p); !refusal.empty()) return usageError(refusal);
    options.plan.sample = trevik::synth::phantomSamples(p);
    return 0;
}

// The study the parsed options describe: its images, phantom, pixel size
// and slice thickness; returns 0, or 2 after a message.
int planStudy(Options& options) {
    trevik::synth::StudyPlan& plan = options.plan;
    // What the converter can hold: up to 16 divisions of up to 64 frames, or
    // one ungated run of up to 1024 images. A gated study needs a heart rate,
    // or the converter reads every division as the whole image count.
    const bool gated = plan.division > 1;
    if (gated && plan.hr == 0) return usageError("a study of more than one division needs a non-zero --hr");
    if (gated && options.frames > 64)
        return usageError("a gated study holds at most 64 frames per division, not " + std::to_string(options.frames));
    plan.images = gated ? plan.division * options.frames : options.frames;
    if (const int rc = planPhantom(options); rc != 0) return rc;

    if (options.pixel.empty()) options.pixel = plan.matrix == 128 ? "3.2" : "6.4";
    plan.pixelSpacing = options.pixel + "\\" + options.pixel;
    char thickness[32];
    std::snprintf(thickness, sizeof thickness, "%.6g", std::strtod(options.pixel.c_str(), nullptr) * plan.slicePixels);
    plan.sliceThickness = thickness;
    return 0;
}

// Parses the command line into `options`; returns 0, or 2 after a message.
int parse(int argc, char** argv, Options& options) {
    trevik::synth::StudyPlan& plan = options.plan;
    plan.time = "10:23:45";
    // The options that take a whole number from low to high into a field.
    struct NumberOption {
        std::string_view name;
        long low, high;
        std::variant<int*, std::int16_t*> field;
    };
    const NumberOption numbers[] = {
        {"--matrix", 64, 128, &plan.matrix},    {"--divisions", 0, 16, &plan.division},
        {"--frames", 1, 1024, &options.frames}, {"--hr", 0, 32767, &plan.hr},
        {"--slice", 0, 32767, &plan.slicePixels},
    };
    // The options that take a text of at most `limit` bytes, as much as the
    // record field it ends up in holds.
    struct TextOption {
        std::string_view name;
        std::string* field;
        std::size_t limit;
    };
    const TextOption texts[] = {
        {"--name", &plan.name, 49}, {"--id", &plan.id, 39},     {"--sex", &plan.sex, 1},
        {"--date", &plan.date, 10}, {"--time", &plan.time, 12}, {"--tracer", &plan.tracer, 19},
    };

    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view name = arg;
        std::optional<std::string_view> inlineValue;
        if (arg.starts_with("--")) {
            if (const std::size_t eq = arg.find('='); eq != std::string_view::npos) {
                name = arg.substr(0, eq);
                inlineValue = arg.substr(eq + 1);
            }
        }
        const std::string option(name);
        auto flag = [&]() {
            if (inlineValue) usageError("option " + option + " takes no value");
            return !inlineValue;
        };
        // The option's value: after '=' or the next argument.
        auto value = [&]() -> std::optional<std::string_view> {
            if (inlineValue) return inlineValue;
            if (i + 1 >= argc) {
                usageError("option " + option + " needs a value");
                return std::nullopt;
            }
            return std::string_view(argv[++i]);
        };
        const auto number = std::find_if(std::begin(numbers), std::end(numbers),
                                         [&](const NumberOption& o) { return o.name == name; });
        const auto text = std::find_if(std::begin(texts), std::end(texts),
                                       [&](const TextOption& o) { return o.name == name; });

        if (number != std::end(numbers)) {
            const auto t = value();
            if (!t) return 2;
            const auto n = parseInteger(*t, number->low, number->high);
            if (!n)
                return usageError("option " + option + " needs a whole number from " + std::to_string(number->low) +
                                  " to " + std::to_string(number->high) + ", not '" + std::string(*t) + "'");
            std::visit([&](auto* field) { *field = static_cast<std::remove_pointer_t<decltype(field)>>(*n); },
                       number->field);
        } else if (text != std::end(texts)) {
            const auto t = value();
            if (!t) return 2;
            if (t->size() > text->limit)
                return usageError("option " + option + " takes at most " + std::to_string(text->limit) +
                                  (text->limit == 1 ? " byte" : " bytes"));
            *text->field = std::string(*t);
        } else if (name == "--help" || name == "-h") {
            if (!flag()) return 2;
            options.help = true;
        } else if (name == "--output" || name == "-o") {
            const auto t = value();
            if (!t) return 2;
            if (t->empty()) return usageError("option " + option + " needs a file name");
            options.output = std::string(*t);
        } else if (name == "--integer" || name == "--float") {
            if (!flag()) return 2;
            plan.floats = name == "--float";
        } else if (name == "--pixel") {
            const auto t = value();
            if (!t) return 2;
            if (!parsePixel(*t))
                return usageError("option --pixel needs a plain decimal number above 0 and below 1000, not '" +
                                  std::string(*t) + "'");
            options.pixel = std::string(*t);
        } else if (trevik::make_study::isPhantomOption(name)) {
            const auto t = value();
            if (!t) return 2;
            if (const std::string refusal = trevik::make_study::setPhantomOption(name, *t, options.faults); !refusal.empty())
                return usageError(refusal);
        } else if (name == "--reverse" || name == "--phantom" || name == "--body") {
            if (!flag()) return 2;
            if (name == "--body") options.faults.heart = false;
            else (name == "--reverse" ? plan.reverse : options.phantom) = true;
        } else {
            const bool dashed = arg.size() > 1 && arg[0] == '-';
            return usageError((dashed ? "unknown option " : "unknown argument ") + std::string(arg));
        }
    }
    if (plan.matrix != 64 && plan.matrix != 128)
        return usageError("option --matrix takes 64 or 128, not " + std::to_string(plan.matrix));
    if (options.help) return 0;
    if (options.output.empty()) return usageError("no output file given (--output FILE)");
    return planStudy(options);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int rc = parse(argc, argv, options); rc != 0) return rc;
    if (options.help) {
        std::fputs(kUsageHead, stdout);
        std::fputs(trevik::make_study::kPhantomUsage, stdout);
        std::fputs(kUsageTail, stdout);
        return 0;
    }
    try {
        trevik::synth::buildStudy(options.plan).save(options.output);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make-study: %s\n", e.what());
        return 1;
    }
    return 0;
}
