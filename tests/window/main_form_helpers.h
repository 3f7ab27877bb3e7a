// What the main window's tests share: a record field as text, the batch
// conversion's output to compare a save with, and typing into a box as a
// user (or a Japanese input method) does.
#pragma once

#include <QApplication>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QTest>

#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "reader/projection/loader.h"
#include "tests/support/temp_dir.h"
#include "writer/gsd/gsd_writer.h"

namespace trevik::window::test {

inline std::string fieldText(const char* field, std::size_t width) { return std::string(field, ::strnlen(field, width)); }
#define FIELD(f) fieldText(f, sizeof f)

// What the writer makes of `path` loaded with nothing edited: the batch
// conversion's output.
inline std::string batchOutput(const std::string& source, const std::string& output) {
    auto study = std::make_unique<Study>();
    EXPECT_EQ(loadStudy(source.c_str(), *study), kOk);
    EXPECT_EQ(writeGsd(output.c_str(), *study), kOk);
    return trevik::test::readFile(output);
}

// Clears the box and types `text`: keys for ASCII, an input method's commit
// for everything else, as a Japanese input method delivers it.
inline void typeInto(QLineEdit* box, const QString& text) {
    box->setFocus();
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Delete);
    for (const QChar c : text) {
        if (c.unicode() < 0x80) {
            QTest::keyClick(box, static_cast<char>(c.unicode()));
        } else {
            QInputMethodEvent commit;
            commit.setCommitString(QString(c));
            QApplication::sendEvent(box, &commit);
        }
    }
}

}  // namespace trevik::window::test
