// A small DICOM client of the tests' own, over a plain socket bound to a
// source address of its choosing (echoscu cannot choose one): it opens a
// connection, asks for an association for Verification, sends a C-ECHO,
// and can send anything else byte by byte. Every read waits at most
// kWaitSeconds.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace trevik::test {

class RawAssociation {
public:
    static constexpr int kWaitSeconds = 10;

    // Connects from `source` (port chosen by the kernel) to `to`:`port`.
    RawAssociation(const char* source, const char* to, int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from{}, peer{};
        from.sin_family = peer.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &from.sin_addr);
        ::inet_pton(AF_INET, to, &peer.sin_addr);
        peer.sin_port = htons(static_cast<std::uint16_t>(port));
        const timeval wait{kWaitSeconds, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        connected_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                     ::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
    }
    ~RawAssociation() { ::close(fd_); }
    RawAssociation(const RawAssociation&) = delete;
    RawAssociation& operator=(const RawAssociation&) = delete;

    bool connected() const { return connected_; }

    // True once the other end has sent something or closed (a refusal, or
    // the connection cut), without waiting.
    bool ended() const {
        pollfd ready{fd_, POLLIN, 0};
        return !connected_ || ::poll(&ready, 1, 0) != 0;
    }

    bool send(const std::vector<std::uint8_t>& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // The A-ASSOCIATE-RQ for one abstract syntax (Verification unless
    // said) in one transfer syntax (implicit VR little endian unless said).
    static std::vector<std::uint8_t> request(const std::string& calling, const std::string& called,
                                             const std::string& abstractSyntax = "1.2.840.10008.1.1",
                                             const std::string& transferSyntax = "1.2.840.10008.1.2") {
        std::vector<std::uint8_t> body = {0x00, 0x01, 0x00, 0x00};
        for (const std::string* title : {&called, &calling}) {
            std::string padded = *title;
            padded.resize(16, ' ');
            body.insert(body.end(), padded.begin(), padded.end());
        }
        body.insert(body.end(), 32, 0);
        item(body, 0x10, text("1.2.840.10008.3.1.1.1"));
        std::vector<std::uint8_t> context = {0x01, 0x00, 0x00, 0x00};
        item(context, 0x30, text(abstractSyntax));
        item(context, 0x40, text(transferSyntax));
        item(body, 0x20, context);
        std::vector<std::uint8_t> user;
        item(user, 0x51, {0x00, 0x00, 0x40, 0x00});
        item(body, 0x50, user);
        return pdu(0x01, body);
    }

    // Asks for the association; true when it is accepted.
    bool associate(const std::string& calling, const std::string& called,
                   const std::string& abstractSyntax = "1.2.840.10008.1.1",
                   const std::string& transferSyntax = "1.2.840.10008.1.2") {
        return send(request(calling, called, abstractSyntax, transferSyntax)) && readPdu() == 0x02;
    }

    // A C-ECHO on an accepted association; true when it is answered.
    bool echo() {
        std::vector<std::uint8_t> command;
        element(command, 0x0002, text("1.2.840.10008.1.1", '\0'));
        element(command, 0x0100, {0x30, 0x00});
        element(command, 0x0110, {0x01, 0x00});
        element(command, 0x0800, {0x01, 0x01});
        return send(pdv(group(command), 0x03)) && readPdu() == 0x04;
    }

    // A C-STORE of `dataset` (implicit VR little endian) on an association
    // for `sopClass`, in PDVs of 16000 bytes; the type of the PDU that
    // answers (0x04 for the response), or -1.
    int store(const std::string& sopClass, const std::string& instance, const std::vector<std::uint8_t>& dataset) {
        if (!storeCommand(sopClass, instance)) return -1;
        for (std::size_t at = 0; at < dataset.size(); at += 16000) {
            const std::size_t end = std::min(dataset.size(), at + 16000);
            const auto first = dataset.begin() + static_cast<std::ptrdiff_t>(at);
            if (!send(pdv({first, dataset.begin() + static_cast<std::ptrdiff_t>(end)}, end == dataset.size() ? 0x02 : 0x00)))
                return -1;
        }
        return readPdu();
    }

    // The command of a C-STORE, its data set still to come.
    bool storeCommand(const std::string& sopClass, const std::string& instance) {
        std::vector<std::uint8_t> command;
        element(command, 0x0002, text(sopClass, '\0'));
        element(command, 0x0100, {0x01, 0x00});
        element(command, 0x0110, {0x01, 0x00});
        element(command, 0x0700, {0x00, 0x00});
        element(command, 0x0800, {0x00, 0x00});
        element(command, 0x1000, text(instance, '\0'));
        return send(pdv(group(command), 0x03));
    }

private:
    // A command: its group length, then its elements.
    static std::vector<std::uint8_t> group(const std::vector<std::uint8_t>& command) {
        std::vector<std::uint8_t> group;
        const std::uint32_t length = static_cast<std::uint32_t>(command.size());
        element(group, 0x0000, {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8), 0, 0});
        group.insert(group.end(), command.begin(), command.end());
        return group;
    }

public:

    // One P-DATA-TF holding one PDV of context 1 with `control` (bit 0:
    // command; bit 1: last fragment).
    static std::vector<std::uint8_t> pdv(const std::vector<std::uint8_t>& value, std::uint8_t control) {
        std::vector<std::uint8_t> body;
        big32(body, static_cast<std::uint32_t>(value.size() + 2));
        body.push_back(0x01);
        body.push_back(control);
        body.insert(body.end(), value.begin(), value.end());
        return pdu(0x04, body);
    }

    // Waits for one PDU and reads it whole; its type, or -1 when the
    // connection ends or nothing comes within kWaitSeconds.
    int readPdu() {
        std::uint8_t head[6];
        if (!readAll(head, sizeof head)) return -1;
        std::uint32_t length = (std::uint32_t{head[2]} << 24) | (std::uint32_t{head[3]} << 16) |
                               (std::uint32_t{head[4]} << 8) | head[5];
        std::vector<std::uint8_t> body(length);
        if (length > (1u << 24) || !readAll(body.data(), length)) return -1;
        return head[0];
    }

private:
    static std::vector<std::uint8_t> text(const std::string& s, char pad = ' ') {
        std::vector<std::uint8_t> bytes(s.begin(), s.end());
        if (pad == '\0' && bytes.size() % 2) bytes.push_back(0);
        return bytes;
    }
    static void big32(std::vector<std::uint8_t>& out, std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
    static void item(std::vector<std::uint8_t>& out, std::uint8_t type, const std::vector<std::uint8_t>& value) {
        out.insert(out.end(), {type, 0x00, static_cast<std::uint8_t>(value.size() >> 8),
                               static_cast<std::uint8_t>(value.size())});
        out.insert(out.end(), value.begin(), value.end());
    }
    static std::vector<std::uint8_t> pdu(std::uint8_t type, const std::vector<std::uint8_t>& body) {
        std::vector<std::uint8_t> out = {type, 0x00};
        big32(out, static_cast<std::uint32_t>(body.size()));
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
    // An implicit VR little endian element of group 0000.
    static void element(std::vector<std::uint8_t>& out, std::uint16_t tag, const std::vector<std::uint8_t>& value) {
        out.insert(out.end(), {0x00, 0x00, static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(tag >> 8)});
        const std::uint32_t length = static_cast<std::uint32_t>(value.size());
        for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
        out.insert(out.end(), value.begin(), value.end());
    }
    bool readAll(std::uint8_t* into, std::size_t size) {
        while (size > 0) {
            const ssize_t got = ::recv(fd_, into, size, 0);
            if (got <= 0) return false;
            into += got;
            size -= static_cast<std::size_t>(got);
        }
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace trevik::test
