#include "app/dicom/receive_options.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "app/dicom/command.h"
#include "app/dicom/receive_commitment.h"
#include "app/dicom/set_folders.h"

namespace trevik::dicom {

namespace {

constexpr const char* kWho = "trevik-dicom receive";
constexpr int kMostAssociations = 64;
constexpr int kMostObjectMiB = 4095;

// --allow AET[@HOST] (a host name is resolved once, at start) or cn=NAME.
bool parseCaller(const std::string& text, Caller& caller, std::string& error) {
    if (text.rfind("cn=", 0) == 0 || text.rfind("CN=", 0) == 0) {
        caller.commonName = text.substr(3);
        if (caller.commonName.empty() || caller.commonName.size() > 64) {
            error = "--allow cn=NAME takes a certificate's common name of 1 to 64 characters";
            return false;
        }
        return true;
    }
    const std::size_t at = text.rfind('@');
    caller.title = text.substr(0, at);
    if (!validAeTitle(caller.title)) {
        error = "--allow takes AET[@HOST] with an AE title of 1 to 16 characters, not \"" + text + "\"";
        return false;
    }
    caller.title = trimmedTitle(caller.title.c_str());
    if (at == std::string::npos) return true;
    caller.host = text.substr(at + 1);
    in_addr numeric{};
    if (::inet_pton(AF_INET, caller.host.c_str(), &numeric) == 1) {
        caller.addresses.insert(caller.host);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (caller.host.empty() || ::getaddrinfo(caller.host.c_str(), nullptr, &hints, &found) != 0) {
        error = "--allow " + text + ": the host \"" + caller.host + "\" cannot be resolved";
        return false;
    }
    for (const addrinfo* a = found; a; a = a->ai_next) {
        char address[INET_ADDRSTRLEN] = "";
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        if (::inet_ntop(AF_INET, &in->sin_addr, address, sizeof address)) caller.addresses.insert(address);
    }
    ::freeaddrinfo(found);
    return true;
}

bool parseNumber(const std::string& text, int low, int high, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size() && value >= low && value <= high;
}

// A folder the node can write into; the reason when not.
bool writableFolder(const std::string& path, std::string& reason) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        reason = "not a folder";
        return false;
    }
    if (::access(path.c_str(), W_OK | X_OK) != 0) {
        reason = std::string(errno == EROFS || errno == EACCES ? "read-only for the node" : "cannot be written") +
                 " (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

// The options that take a whole number: name, range, where it goes, and
// the unit the usage error names.
struct NumberOption {
    const char* name;
    int low, high;
    int ReceiveSettings::*field;
    const char* takes;
};
constexpr NumberOption kNumbers[] = {
    {"--max-associations", 1, kMostAssociations, &ReceiveSettings::maxAssociations, "a number"},
    {"--max-per-host", 1, kMostAssociations, &ReceiveSettings::maxPerHost, "a number"},
    {"--max-memory", 64, 1 << 20, &ReceiveSettings::maxMemoryMiB, "a size in MiB"},
    {"--idle-timeout", 1, 86400, &ReceiveSettings::idleSeconds, "seconds"},
    {"--object-timeout", 1, 86400, &ReceiveSettings::objectSeconds, "seconds"},
    {"--association-timeout", 1, 7 * 86400, &ReceiveSettings::associationSeconds, "seconds"},
};

// The options that name a file of DICOM TLS.
struct FileOption {
    const char* name;
    std::string ReceiveSettings::*field;
};
constexpr FileOption kFiles[] = {
    {"--tls-key", &ReceiveSettings::tlsKey},
    {"--tls-cert", &ReceiveSettings::tlsCert},
    {"--tls-ca", &ReceiveSettings::tlsCa},
};

// A table option at args[i]: 0 when taken, the exit code of a usage error,
// or -1 when args[i] is none of them.
int takeTableOption(const std::vector<std::string>& args, std::size_t& i, ReceiveSettings& settings) {
    std::string value;
    bool missing = false;
    for (const NumberOption& option : kNumbers) {
        if (!optionValue(args, i, option.name, value, missing)) continue;
        if (missing || !parseNumber(value, option.low, option.high, settings.*option.field))
            return usageError("receive", std::string(option.name) + " takes " + option.takes + " from " +
                                             std::to_string(option.low) + " to " + std::to_string(option.high));
        return 0;
    }
    for (const FileOption& option : kFiles) {
        if (!optionValue(args, i, option.name, value, missing)) continue;
        if (missing || value.empty()) return usageError("receive", std::string(option.name) + " needs a file");
        settings.*option.field = value;
        return 0;
    }
    return -1;
}

// --energy-window / --rr-interval at args[i], N or AET=N: 0 when taken,
// the exit code of a usage error, or -1 when args[i] is neither.
int takeChoice(const std::vector<std::string>& args, std::size_t& i, ReceiveSettings& settings) {
    const struct {
        const char* name;
        int ReceiveSettings::*all;
        std::map<std::string, int> ReceiveSettings::*of;
    } kChoices[] = {{"--energy-window", &ReceiveSettings::energyWindow, &ReceiveSettings::windowOf},
                    {"--rr-interval", &ReceiveSettings::rrInterval, &ReceiveSettings::intervalOf}};
    std::string value;
    bool missing = false;
    for (const auto& choice : kChoices) {
        if (!optionValue(args, i, choice.name, value, missing)) continue;
        const std::size_t equals = missing ? std::string::npos : value.rfind('=');
        const std::string title = equals == std::string::npos ? std::string() : value.substr(0, equals);
        int number = 0;
        if (missing || (equals != std::string::npos && !validAeTitle(title)) ||
            !parseNumber(equals == std::string::npos ? value : value.substr(equals + 1), 1, 65535, number))
            return usageError("receive", std::string(choice.name) + " takes N or AET=N, N from 1 to 65535");
        if (equals == std::string::npos)
            settings.*choice.all = number;
        else
            (settings.*choice.of)[trimmedTitle(title.c_str())] = number;
        return 0;
    }
    return -1;
}

// The option at args[i]: 0 when taken, else the exit code of a usage error.
int takeOption(const std::vector<std::string>& args, std::size_t& i, ReceiveSettings& settings, bool& haveTitle,
               bool& havePort) {
    if (const int code = takeTableOption(args, i, settings); code >= 0) return code;
    if (const int code = takeChoice(args, i, settings); code >= 0) return code;
    if (const int code = takePeerOption(args, i, settings); code >= 0) return code;
    if (args[i] == "--unsafe-no-sync") {
        settings.sync = false;
        return 0;
    }
    if (args[i] == "--qc" || args[i] == "--qc-pictures") {
        (args[i] == "--qc" ? settings.qc : settings.qcPictures) = true;
        return 0;
    }
    std::string value, error;
    bool missing = false;
    int number = 0;
    if (optionValue(args, i, "--aet", value, missing)) {
        if (missing || !validAeTitle(value)) return usageError("receive", "--aet takes an AE title of 1 to 16 characters");
        settings.title = trimmedTitle(value.c_str());
        haveTitle = true;
    } else if (optionValue(args, i, "--port", value, missing)) {
        if (missing || !parseNumber(value, 1, 65535, number))
            return usageError("receive", "--port takes a port from 1 to 65535");
        settings.port = static_cast<std::uint16_t>(number);
        havePort = true;
    } else if (optionValue(args, i, "--listen", value, missing)) {
        if (missing || ::inet_pton(AF_INET, value.c_str(), &settings.listen) != 1)
            return usageError("receive", "--listen takes one IPv4 address, such as 192.0.2.5");
    } else if (optionValue(args, i, "--inbox", value, missing)) {
        if (missing || value.empty()) return usageError("receive", "--inbox needs a folder");
        settings.inbox = value;
    } else if (optionValue(args, i, "--keep", value, missing)) {
        if (missing || value.empty()) return usageError("receive", "--keep needs a folder");
        settings.keep = value;
    } else if (optionValue(args, i, "--allow", value, missing)) {
        Caller caller;
        if (missing) return usageError("receive", "--allow needs AET[@HOST] or cn=NAME");
        if (!parseCaller(value, caller, error)) return usageError("receive", error);
        settings.allowed.push_back(caller);
    } else if (optionValue(args, i, "--max-object-size", value, missing)) {
        if (missing || !parseNumber(value, 1, kMostObjectMiB, number))
            return usageError("receive",
                              "--max-object-size takes a size in MiB from 1 to " + std::to_string(kMostObjectMiB));
        settings.maxObjectBytes = static_cast<unsigned long long>(number) << 20;
    } else {
        return usageError("receive", "unknown argument " + args[i]);
    }
    return 0;
}

// Whether the settings agree with each other; else the exit code of a usage error.
int checkSettings(ReceiveSettings& settings) {
    settings.maxPerHost = std::min(settings.maxPerHost, settings.maxAssociations);
    const int tls = !settings.tlsKey.empty() + !settings.tlsCert.empty() + !settings.tlsCa.empty();
    if (tls != 0 && tls != 3) return usageError("receive", "DICOM TLS needs all of --tls-key, --tls-cert and --tls-ca");
    for (const Caller& caller : settings.allowed)
        if (!caller.commonName.empty() && tls == 0)
            return usageError("receive", "--allow cn=" + caller.commonName + " needs DICOM TLS (--tls-key, --tls-cert, --tls-ca)");
    if (!settings.peers.empty() && settings.keep.empty())
        return usageError("receive", "--peer needs --keep: only kept objects are committed");
    return 0;
}

}  // namespace

std::string trimmedTitle(const char* text) {
    std::string s = text;
    const std::size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

ChoiceFor choiceFor(const ReceiveSettings& settings, const std::string& calling) {
    ChoiceFor choice{settings.energyWindow, settings.rrInterval};
    if (const auto w = settings.windowOf.find(calling); w != settings.windowOf.end()) choice.energyWindow = w->second;
    if (const auto r = settings.intervalOf.find(calling); r != settings.intervalOf.end()) choice.rrInterval = r->second;
    return choice;
}

int readReceiveOptions(const std::vector<std::string>& args, ReceiveSettings& settings) {
    bool haveTitle = false, havePort = false;
    for (std::size_t i = 0; i < args.size(); ++i)
        if (const int code = takeOption(args, i, settings, haveTitle, havePort); code != 0) return code;
    if (!haveTitle || !havePort || settings.inbox.empty())
        return usageError("receive", "needs --aet AET, --port PORT and --inbox DIR");
    if (const int code = checkSettings(settings); code != 0) return code;
    for (const auto& [option, folder] : {std::pair<const char*, std::string>{"inbox", settings.inbox},
                                         std::pair<const char*, std::string>{"keep", settings.keep}}) {
        std::string reason;
        if (!folder.empty() && !makeFolder(folder)) {
            std::fprintf(stderr, "%s: --%s %s: cannot be made: %s\n", kWho, option, printableName(folder).c_str(),
                         std::strerror(errno));
            return kCannotOpen;
        }
        if (!folder.empty() && !writableFolder(folder, reason)) {
            std::fprintf(stderr, "%s: --%s %s: %s\n", kWho, option, printableName(folder).c_str(), reason.c_str());
            return kCannotOpen;
        }
    }
    return 0;
}

}  // namespace trevik::dicom
