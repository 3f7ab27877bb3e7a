// The receiving node as the tests start it: one node called NODE with an
// inbox and a keep folder of its own, started by the test and stopped by
// its process id, and what the tests look at in its folders.
#pragma once

#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/pacs_fixture.h"
#include "dicom/uid.h"

namespace trevik::test {

namespace fs = std::filesystem;

inline std::set<std::string> names(const std::string& dir) {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir)) found.insert(entry.path().filename().string());
    return found;
}

inline void waitFor(const std::function<bool()>& done, int seconds) {
    for (int i = 0; i < seconds * 20 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// The name every file of the instance in `dcm` gets: base-DIGEST.
inline std::string instanceName(const std::string& base, const std::string& dcm) {
    DcmFileFormat file;
    OFString uid;
    EXPECT_TRUE(file.loadFile(dcm.c_str()).good() &&
                file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, uid).good());
    return base + "-" + dicom::hexDigest(dicom::Sha256().add(uid.c_str()).finish()).substr(0, 8);
}

// The bytes of a DICOM file after its meta group (its group length says
// where that ends).
inline std::string datasetBytes(const std::string& path) {
    const std::string bytes = readFile(path);
    if (bytes.size() < 144 || bytes.compare(128, 4, "DICM") != 0) return {};
    const auto at = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(bytes[i])); };
    const std::size_t meta = at(140) | at(141) << 8 | at(142) << 16 | at(143) << 24;
    return bytes.substr(std::min(bytes.size(), 144 + meta));
}

inline int endOf(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One node called NODE with an inbox and a keep folder of its own (made
// by the test unless `start` says otherwise); `start.wrapper` runs the node
// under another program (strace).
struct NodeStart {
    bool makeFolders = true;
    std::vector<std::string> wrapper;
};
class Node {
public:
    explicit Node(const std::vector<std::string>& options, int port = freePort(), const NodeStart& start = {})
        : port_(port) {
        if (start.makeFolders) fs::create_directory(inbox()), fs::create_directory(keep());
        std::vector<std::string> args = start.wrapper;
        args.insert(args.end(), {"receive", "--aet", "NODE", "--port", std::to_string(port_), "--inbox", inbox(),
                                 "--keep", keep()});
        args.insert(args.end(), options.begin(), options.end());
        const std::string program = start.wrapper.empty() ? std::string(kTrevikDicom) : args[0];
        if (!start.wrapper.empty()) args.erase(args.begin());
        pid_ = spawn(program, args, dir_.file("node.log"));
        waitFor([&] { return log().find("listening as NODE") != std::string::npos; }, 20);
    }
    ~Node() { stop(SIGKILL); }
    int stop(int signal) {
        if (pid_ <= 0) return -1;
        ::kill(pid_, signal);
        const int end = endOf(pid_);
        pid_ = -1;
        return end;
    }
    std::vector<std::string> storescu(const std::string& calling) const {
        return {"-aet", calling, "-aec", "NODE", "127.0.0.1", std::to_string(port_)};
    }
    ProcessResult store(const std::string& calling, const std::vector<std::string>& files,
                        const std::vector<std::string>& options = {}) const {
        std::vector<std::string> args = storescu(calling);
        args.insert(args.begin(), options.begin(), options.end());
        args.insert(args.begin(), "-d");
        args.insert(args.end(), files.begin(), files.end());
        return runProcess("storescu", args);
    }
    std::string log() const { return readFile(dir_.file("node.log")); }
    bool logs(const std::string& line) const { return log().find(line) != std::string::npos; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string inbox() const { return dir_.file("in"); }
    std::string keep() const { return dir_.file("keep"); }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    int port_;
    pid_t pid_ = -1;
};

// Each file in `folder` equals `expected` (a name there -> the file it equals).
inline void expectFiles(const std::string& folder, const std::map<std::string, std::string>& expected) {
    std::set<std::string> want;
    for (const auto& [name, file] : expected) want.insert(name);
    EXPECT_EQ(names(folder), want);
    for (const auto& [name, file] : expected) EXPECT_EQ(readFile(folder + "/" + name), readFile(file)) << name;
}

// `dcm` rewritten by dcmodify with `edits` into a copy at `to`.
inline std::string modified(const std::string& dcm, const std::string& to, const std::vector<std::string>& edits) {
    std::filesystem::copy_file(dcm, to, std::filesystem::copy_options::overwrite_existing);
    std::vector<std::string> args = {"-nb", "-imt"};
    args.insert(args.end(), edits.begin(), edits.end());
    args.push_back(to);
    EXPECT_EQ(runProcess("dcmodify", args).exitCode, 0) << to;
    return to;
}

}  // namespace trevik::test
