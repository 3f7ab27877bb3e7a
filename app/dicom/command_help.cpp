// The option tables of trevik-dicom's subcommands, from which their --help
// is made; the manual page trevik-dicom(1) says the whole of each.
#include "app/dicom/command.h"

namespace trevik::dicom {

namespace {

using options::Help;
using options::Option;

constexpr std::string_view kExitCodes =
    "  0  done\n"
    "  1  a file cannot be read or written, a file was not stored, or the node\n"
    "     cannot listen on its port or write its folders\n"
    "  2  not a source the converter reads, or a wrong command line\n"
    "  4  the source ends early (or its pixel data is shorter than its frames)\n"
    "  8  not enough memory";

constexpr Option kExportOptions[] = {
    {"--start-angle", "DEG", "the angle of the first view, 0 to below 360 (default 0)"},
    {"--arc", "DEG", "the arc the views span, above 0 to 360 (default 180)"},
    {"--direction", "CW|CC", "the direction of rotation (default CW)"},
};

constexpr Option kImportOptions[] = {
    {"--energy-window", "N|all",
     "the energy window N of an object with several (its comment names it);\n"
     "all: one file each, OUTPUT-ew1.gsd, OUTPUT-ew2.gsd, ..."},
    {"--rr-interval", "N|all", "the same for R-R intervals (OUTPUT-rr1.gsd, ...)"},
    {"--", "", "every later argument is a file"},
};

constexpr Option kInspectOptions[] = {
    {"--tsv", "", "one tab-separated line in place of the report"},
    {"--qc", "OUT.png", "the quality control's page"},
    {"--cine", "OUT.gif", "the summed-gate views in acquisition order, looping"},
    {"--energy-window", "N", "inspect energy window N of an object with several (its verdict and QC)"},
    {"--rr-interval", "N", "the same for an R-R interval"},
    {"--", "", "every later argument is a file"},
};

constexpr Option kSendOptions[] = {
    {"--to", "AET@HOST:PORT", "the PACS: its AE title, host and port"},
    {"--calling-aet", "AET", "this program's AE title (default TREVIK)"},
    {"--timeout", "S", "how long any wait of the network may last, 1 to 86400 s (default 60)"},
    {"--tls-key", "KEY", "DICOM TLS: this side's private key (PEM); with --tls-cert and --tls-ca"},
    {"--tls-cert", "CERT", "DICOM TLS: the certificate of the key (PEM)"},
    {"--tls-ca", "CA", "DICOM TLS: the authority whose PACS are trusted (PEM)"},
    {"--start-angle", "DEG", "as export's, for projection files sent"},
    {"--arc", "DEG", "as export's"},
    {"--direction", "CW|CC", "as export's"},
};

constexpr Option kReceiveOptions[] = {
    {"--aet", "AET", "the node's AE title"},
    {"--port", "PORT", "the TCP port it listens on"},
    {"--inbox", "DIR", "where the .gsd files go"},
    {"--allow", "AET[@HOST]|cn=NAME", "a caller that may store (repeat it); none: every association is refused"},
    {"--keep", "DIR", "also keeps every object received, as it was sent"},
    {"--peer", "AET=HOST:PORT", "where storage commitment reports to AET go (repeat it); needs --keep"},
    {"--listen", "ADDR", "the one IPv4 address it listens on (default: every one)"},
    {"--max-associations", "N", "associations served at once, 1 to 64 (default 8)"},
    {"--max-per-host", "N", "associations at once from one address (default 4)"},
    {"--max-memory", "MIB", "the memory of all associations together (default 1024)"},
    {"--max-object-size", "MIB", "the largest object taken, 1 to 4095 (default 512)"},
    {"--idle-timeout", "S", "an association silent this long is aborted (default 60)"},
    {"--object-timeout", "S", "an object not whole this long after its request (default 900)"},
    {"--association-timeout", "S", "an association open this long is ended (default 7200)"},
    {"--tls-key", "FILE", "DICOM TLS: the node's key (PEM); with --tls-cert and --tls-ca"},
    {"--tls-cert", "FILE", "DICOM TLS: the node's certificate (PEM)"},
    {"--tls-ca", "FILE", "DICOM TLS: the authority that signs its peers' certificates (PEM)"},
    {"--energy-window", "N|AET=N", "the energy window taken of an object with several (default: each photopeak)"},
    {"--rr-interval", "N|AET=N", "the R-R interval taken of an object with several"},
    {"--qc", "", "logs the quality control of each .gsd written"},
    {"--qc-pictures", "", "writes the quality control's page beside each .gsd"},
    {"--unsafe-no-sync", "", "answers before a study is synced to the disk (a power cut may lose it)"},
};

}  // namespace

const options::Help kExportHelp{
    "trevik-dicom export [OPTION]... SOURCE OUTPUT.dcm",
    "Writes one projection file as a DICOM NM Image object (Part 10 file).",
    kExportOptions, kExitCodes};
const options::Help kSendHelp{
    "trevik-dicom send --to AET@HOST:PORT [OPTION]... FILE...",
    "Stores DICOM files and projection files in a PACS with C-STORE over one\nassociation.",
    kSendOptions, kExitCodes};
const options::Help kImportHelp{
    "trevik-dicom import [OPTION]... SOURCE.dcm OUTPUT.gsd",
    "Converts a DICOM NM object (gated or ungated SPECT projections) to a Gated\n"
    "SPECT data file as trevik converts a projection file. An object with several\n"
    "energy windows or R-R intervals needs --energy-window or --rr-interval\n"
    "(trevik-dicom inspect lists them). The output never replaces a source file;\n"
    "with \"all\" a .gsd file at one of the names is replaced, anything else there\n"
    "ends the run before anything is written.",
    kImportOptions, kExitCodes};
const options::Help kInspectHelp{
    "trevik-dicom inspect [OPTION]... FILE",
    "Shows the verdict trevik gives a DICOM file, the energy windows and R-R\n"
    "intervals of an object with several, the attributes used and the quality\n"
    "control of its frames.",
    kInspectOptions, kExitCodes};
const options::Help kReceiveHelp{
    "trevik-dicom receive --aet AET --port PORT --inbox DIR [OPTION]...",
    "A DICOM node: NM objects stored to it by C-STORE become .gsd files in the\n"
    "inbox, from the callers named with --allow only; it runs until SIGTERM.",
    kReceiveOptions, kExitCodes};

}  // namespace trevik::dicom
