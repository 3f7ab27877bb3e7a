// Servers of the trevik-dicom tests: a private network, free ports,
// processes started in the background, and one Orthanc of the test's own
// on 127.0.0.1 with its configuration and storage in a temporary folder,
// stopped by its process id.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/process.h"
#include "tests/support/temp_dir.h"

namespace trevik::test {

// As root the test gets a network of its own, where only the loopback
// exists; everything it starts shares it.
inline void privateNetwork() {
    if (::geteuid() == 0 && ::unshare(CLONE_NEWNET) == 0) runProcess("ip", {"link", "set", "lo", "up"});
}

// A port nothing listens on now (the kernel's choice for port 0).
inline int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The body of an HTTP GET to 127.0.0.1; empty unless the answer is 200.
inline std::string httpGet(int port, const std::string& path) {
    const ProcessResult got =
        runProcess("curl", {"-sf", "--noproxy", "*", "--max-time", "10", "http://127.0.0.1:" + std::to_string(port) + path});
    return got.exitCode == 0 ? got.out : std::string();
}

// Starts `program` (found through PATH) with its standard output and error
// in `log`, without waiting.
inline pid_t spawn(const std::string& program, const std::vector<std::string>& args, const std::string& log) {
    std::vector<std::string> strings = {program};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::execvp(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fd);
    return pid;
}

// One Orthanc of the test's own, called TESTPACS.
class Pacs {
public:
    // `more`: further members of its configuration, each followed by ",".
    explicit Pacs(const std::string& more = "") {
        privateNetwork();
        http_ = freePort();
        dicom_ = freePort();
        std::ofstream(dir_.file("orthanc.json"))
            << "{" << more << "\"Name\":\"trevik-test\",\"StorageDirectory\":\"" << dir_.file("storage")
            << "\",\"IndexDirectory\":\"" << dir_.file("storage") << "\",\"Plugins\":[],\"HttpPort\":" << http_
            << ",\"DicomPort\":" << dicom_
            << ",\"DicomAet\":\"TESTPACS\",\"DicomCheckCalledAet\":true,\"RemoteAccessAllowed\":false,"
               "\"AuthenticationEnabled\":false}\n";
        pid_ = spawn("Orthanc", {dir_.file("orthanc.json")}, dir_.file("orthanc.log"));
        for (int i = 0; i < 200 && httpGet(http_, "/system").empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Pacs() { stop(SIGTERM); }
    void stop(int signal) {
        if (pid_ <= 0) return;
        ::kill(pid_, signal);
        if (signal != SIGSTOP && signal != SIGCONT) {
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    bool ready() const { return !httpGet(http_, "/system").empty(); }
    std::string to(const std::string& title = "TESTPACS") const {
        return title + "@127.0.0.1:" + std::to_string(dicom_);
    }
    std::vector<std::string> instances() const {
        const std::string list = httpGet(http_, "/instances");
        std::vector<std::string> ids;  // the quoted strings of a JSON array
        for (std::size_t open = list.find('"'); open != std::string::npos; open = list.find('"', open)) {
            const std::size_t close = list.find('"', open + 1);
            if (close == std::string::npos) break;
            ids.push_back(list.substr(open + 1, close - open - 1));
            open = close + 1;
        }
        return ids;
    }
    std::string file(const std::string& id) const { return httpGet(http_, "/instances/" + id + "/file"); }
    std::string get(const std::string& path) const { return httpGet(http_, path); }
    // POST of `body` to `path`; the answer's body, empty unless 200.
    std::string post(const std::string& path, const std::string& body) const {
        const ProcessResult got = runProcess("curl", {"-sf", "--noproxy", "*", "--max-time", "60", "--data-binary",
                                                      body, "http://127.0.0.1:" + std::to_string(http_) + path});
        return got.exitCode == 0 ? got.out : std::string();
    }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    int http_ = 0, dicom_ = 0;
    pid_t pid_ = -1;
};

}  // namespace trevik::test
