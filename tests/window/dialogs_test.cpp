// The desktop's file dialogs as the window program configures them, driven
// without running their event loop: a chosen name is accepted the way the
// dialog's own Open or Save button accepts it.
#include <gtest/gtest.h>

#include <QFileDialog>

#include "app/window/window_seams.h"
#include "tests/support/temp_dir.h"
#include "tests/window/window_test_support.h"

namespace trevik::window::test {
namespace {

using trevik::test::TempDir;

// Accepts `name` typed into the dialog; the name the dialog settles on, or
// a null QString when it did not accept.
QString accept(QFileDialog& dialog, const QString& name) {
    dialog.selectFile(name);
    // What the dialog's own button does (QFileDialog keeps accept protected).
    static_cast<QDialog&>(dialog).accept();
    if (dialog.result() != QDialog::Accepted) return QString();
    return dialog.selectedFiles().value(0);
}

TEST(Dialogs, OpenListsEveryFileAndAcceptsANameThatDoesNotExist) {
    application();
    TempDir dir;
    auto dialog = makeOpenDialog(nullptr);
    EXPECT_EQ(dialog->objectName(), QStringLiteral("OpenDlg"));
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(dialog->nameFilters(), (QStringList{QStringLiteral("All Files (*)"),
                                                  QStringLiteral("DICOM Files (*.dcm *.DCM *.dicom)")}));
    EXPECT_TRUE(dialog->defaultSuffix().isEmpty());
    dialog->setDirectory(QString::fromStdString(dir.path()));
    EXPECT_EQ(accept(*dialog, QStringLiteral("missing")), QString::fromStdString(dir.file("missing")));
}

TEST(Dialogs, SaveOffersGatedSpectDataAndAddsItsExtension) {
    application();
    TempDir dir;
    auto dialog = makeSaveDialog(nullptr);
    EXPECT_EQ(dialog->objectName(), QStringLiteral("SaveDlg"));
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(dialog->nameFilters(),
              (QStringList{QStringLiteral("Gated SPECT Data (*.gsd)"), QStringLiteral("All Files (*)")}));
    EXPECT_FALSE(dialog->testOption(QFileDialog::DontConfirmOverwrite));
    dialog->setDirectory(QString::fromStdString(dir.path()));
    EXPECT_EQ(accept(*dialog, QStringLiteral("rest")), QString::fromStdString(dir.file("rest.gsd")));

    auto again = makeSaveDialog(nullptr);
    again->setDirectory(QString::fromStdString(dir.path()));
    EXPECT_EQ(accept(*again, QStringLiteral("rest.out")), QString::fromStdString(dir.file("rest.out")));

    // Opened on a proposal: its folder, its name ready to accept.
    auto proposed = makeSaveDialog(nullptr, QString::fromStdString(dir.file("a.b.gsd")));
    EXPECT_EQ(proposed->directory().absolutePath(), QString::fromStdString(dir.path()));
    static_cast<QDialog&>(*proposed).accept();
    EXPECT_EQ(proposed->selectedFiles().value(0), QString::fromStdString(dir.file("a.b.gsd")));
}

}  // namespace
}  // namespace trevik::window::test
