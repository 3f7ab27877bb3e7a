// Storage commitment's rule: the request read field by field, the lookup of
// each instance in a keep folder (the object's own UIDs, never through a
// link), the report, and the N-ACTION's answer.
#include <gtest/gtest.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "app/dicom/commitment.h"
#include "app/dicom/receive_commitment.h"
#include "app/dicom/receive_node.h"
#include "app/dicom/received_object.h"
#include "tests/support/temp_dir.h"

namespace trevik::test {
namespace {

using namespace trevik::dicom;

constexpr const char* kNm = UID_NuclearMedicineImageStorage;
constexpr const char* kCt = UID_CTImageStorage;

// A request's data set: its Transaction UID and one item per pair (an
// empty UID leaves that attribute out).
DcmDataset requestOf(const char* transaction, const std::vector<std::pair<std::string, std::string>>& items) {
    DcmDataset data;
    if (transaction) data.putAndInsertString(DCM_TransactionUID, transaction);
    for (const auto& [cls, instance] : items) {
        DcmItem* item = nullptr;
        data.findOrCreateSequenceItem(DCM_ReferencedSOPSequence, item, -2);
        if (!cls.empty()) item->putAndInsertString(DCM_ReferencedSOPClassUID, cls.c_str());
        if (!instance.empty()) item->putAndInsertString(DCM_ReferencedSOPInstanceUID, instance.c_str());
    }
    return data;
}

// An object of `cls` and `instance` kept in `folder` as `name`.
void keepObject(const std::string& folder, const std::string& name, const char* cls, const std::string& instance) {
    DcmFileFormat file;
    file.getDataset()->putAndInsertString(DCM_SOPClassUID, cls);
    file.getDataset()->putAndInsertString(DCM_SOPInstanceUID, instance.c_str());
    file.getDataset()->putAndInsertString(DCM_PatientID, "P1");
    ASSERT_TRUE(file.saveFile((folder + "/" + name).c_str(), EXS_LittleEndianExplicit).good());
}

std::string keptName(const std::string& instance, const std::string& more = "") {
    return "P1_20010514_102345_1-" + instanceDigest(instance) + more + ".dcm";
}

TEST(Commitment, RequestsAreReadFieldByField) {
    std::string error;
    CommitmentRequest request;
    DcmDataset whole = requestOf("1.2.3", {{kNm, "1.2.3.4"}, {kCt, "1.2.3.5"}});
    EXPECT_EQ(readCommitmentRequest(&whole, request, error), 0) << error;
    ASSERT_EQ(request.instances.size(), 2u);
    EXPECT_EQ(request.transactionUid, "1.2.3");
    EXPECT_EQ(request.instances[1].classUid, kCt);
    EXPECT_EQ(request.instances[1].instanceUid, "1.2.3.5");

    const struct {
        DcmDataset data;
        std::uint16_t status;
    } cases[] = {
        {requestOf(nullptr, {{kNm, "1.2.3.4"}}), 0x0120},          // no Transaction UID
        {requestOf("", {{kNm, "1.2.3.4"}}), 0x0121},               // an empty one
        {requestOf("1.02.3", {{kNm, "1.2.3.4"}}), 0x0115},         // a leading zero
        {requestOf("1.2.3.", {{kNm, "1.2.3.4"}}), 0x0115},         // a trailing dot
        {requestOf("1.2\\3", {{kNm, "1.2.3.4"}}), 0x0115},         // two values
        {requestOf("1.2.3", {}), 0x0120},                          // no sequence
        {requestOf("1.2.3", {{kNm, ""}}), 0x0120},                 // an item without its instance
        {requestOf("1.2.3", {{"", "1.2.3.4"}}), 0x0120},           // or its class
        {requestOf("1.2.3", {{kNm, "1.2.x"}}), 0x0115},            // no UID
        {requestOf("1.2.3", {{kNm, std::string(65, '1')}}), 0x0115},  // too long
        {requestOf(std::string(1 << 20, '1').c_str(), {{kNm, "1.2"}}), 0x0115},  // refused before it is copied
    };
    for (const auto& c : cases) {
        DcmDataset data(c.data);
        EXPECT_EQ(readCommitmentRequest(&data, request, error), c.status) << error;
    }
    EXPECT_EQ(readCommitmentRequest(nullptr, request, error), 0x0120);
    DcmDataset empty = requestOf("1.2.3", {});
    empty.insertEmptyElement(DCM_ReferencedSOPSequence);
    EXPECT_EQ(readCommitmentRequest(&empty, request, error), 0x0121);
    DcmDataset notSequence = requestOf("1.2.3", {});
    notSequence.putAndInsertString(DCM_ReferencedSOPSequence, "1.2");
    EXPECT_NE(readCommitmentRequest(&notSequence, request, error), 0);
}

TEST(Commitment, OnlyTheKeptObjectItselfIsCommitted) {
    TempDir dir;
    const std::string keep = dir.file("keep"), outside = dir.file("private");
    std::filesystem::create_directory(keep), std::filesystem::create_directory(outside);
    keepObject(keep, keptName("1.2.10"), kNm, "1.2.10");     // held
    keepObject(keep, keptName("1.2.11"), kNm, "1.2.11");     // asked with another class
    keepObject(keep, keptName("1.2.12", "-2"), kNm, "1.2.12");  // held under a name of a collision
    keepObject(keep, keptName("1.2.13"), kNm, "1.2.99");     // the name's digest, but another object
    keepObject(outside, "x.dcm", kNm, "1.2.14");             // reached only through a link
    std::filesystem::create_symlink(outside + "/x.dcm", keep + "/" + keptName("1.2.14"));
    ASSERT_EQ(::mkfifo((keep + "/" + keptName("1.2.15")).c_str(), 0600), 0);  // never blocks the lookup

    CommitmentRequest request{"1.2.3",
                              {{kNm, "1.2.10"}, {kCt, "1.2.11"}, {kNm, "1.2.12"}, {kNm, "1.2.13"}, {kNm, "1.2.14"},
                               {kNm, "1.2.15"}, {kNm, "1.2.16"}}};
    KeptObjects kept(keep);
    std::string error;
    ASSERT_TRUE(kept.open(error)) << error;
    kept.commit(request);
    const std::uint16_t expected[] = {kCommitted,     kClassInstanceConflict, kCommitted,    kNoSuchInstance,
                                      kNoSuchInstance, kNoSuchInstance,        kNoSuchInstance};
    for (std::size_t i = 0; i < request.instances.size(); ++i)
        EXPECT_EQ(request.instances[i].reason, expected[i]) << request.instances[i].instanceUid;

    DcmDataset report;
    EXPECT_EQ(buildCommitmentReport(request, report), 2);
    OFString transaction, uid;
    Uint16 reason = 0;
    EXPECT_TRUE(report.findAndGetOFString(DCM_TransactionUID, transaction).good());
    EXPECT_EQ(transaction, "1.2.3");
    DcmItem* item = nullptr;
    ASSERT_TRUE(report.findAndGetSequenceItem(DCM_ReferencedSOPSequence, item, 1).good());
    EXPECT_TRUE(item->findAndGetOFString(DCM_ReferencedSOPInstanceUID, uid).good() && uid == "1.2.12");
    EXPECT_FALSE(report.findAndGetSequenceItem(DCM_ReferencedSOPSequence, item, 2).good());
    ASSERT_TRUE(report.findAndGetSequenceItem(DCM_FailedSOPSequence, item, 0).good());
    EXPECT_TRUE(item->findAndGetOFString(DCM_ReferencedSOPClassUID, uid).good() && uid == kCt);
    EXPECT_TRUE(item->findAndGetUint16(DCM_FailureReason, reason).good() && reason == 0x0119);
    EXPECT_TRUE(report.findAndGetSequenceItem(DCM_FailedSOPSequence, item, 4).good());

    CommitmentRequest all{"1.2.4", {{kNm, "1.2.10"}}};
    KeptObjects again(keep);
    again.commit(all);
    DcmDataset committed;
    EXPECT_EQ(buildCommitmentReport(all, committed), 1);
    EXPECT_FALSE(committed.tagExists(DCM_FailedSOPSequence));
}

TEST(Commitment, TheNActionIsCheckedBeforeAnyReport) {
    TempDir dir;
    ReceiveSettings settings;
    settings.title = "NODE";
    settings.keep = dir.path();
    settings.peers["CAM"] = {"CAM", "127.0.0.1", 104};
    ReceiveNode node(settings);
    const auto status = [&](const char* cls, const char* instance, Uint16 action, const char* calling,
                            DcmDataset* data) {
        T_DIMSE_N_ActionRQ request{};
        std::strcpy(request.RequestedSOPClassUID, cls);
        std::strcpy(request.RequestedSOPInstanceUID, instance);
        request.ActionTypeID = action;
        CommitmentAnswer answer =
            checkCommitment(node, request, UID_StorageCommitmentPushModelSOPClass, data, calling, calling);
        if (answer.slot >= 0) ::close(answer.slot);
        return answer.status;
    };
    const char* cls = UID_StorageCommitmentPushModelSOPClass;
    const char* instance = UID_StorageCommitmentPushModelSOPInstance;
    DcmDataset whole = requestOf("1.2.3", {{kNm, "1.2.10"}});
    EXPECT_EQ(status(cls, instance, 1, "CAM", &whole), 0);
    EXPECT_EQ(status(cls, instance, 1, "OTHER", &whole), 0x0124);  // no --peer
    EXPECT_EQ(status(cls, instance, 2, "CAM", &whole), 0x0123);
    EXPECT_EQ(status(cls, "1.2.3", 1, "CAM", &whole), 0x0117);
    EXPECT_EQ(status(kNm, instance, 1, "CAM", &whole), 0x0118);
    EXPECT_EQ(status(cls, instance, 1, "CAM", nullptr), 0x0120);
}

}  // namespace
}  // namespace trevik::test
