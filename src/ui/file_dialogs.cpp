#include "ui/file_dialogs.h"

#include <QDir>
#include <QFileDialog>

namespace {

// Every file, whatever its name: "*.*" would miss names without a dot here.
constexpr const char* kAllFilesFilter = "*.* (*)";

QStringList RunDialog(QWidget* parent, const QString& title, const QString& folder,
                      QFileDialog::AcceptMode mode, QFileDialog::FileMode fileMode) {
    QFileDialog dialog(parent, title, folder, QString::fromLatin1(kAllFilesFilter));
    dialog.setAcceptMode(mode);
    dialog.setFileMode(fileMode);
    dialog.setFilter(dialog.filter() | QDir::Hidden);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted) {
        return {};
    }
    return dialog.selectedFiles();
}

}  // namespace

QString AskOpenFile(QWidget* parent, const QString& title, const QString& folder) {
    const QStringList chosen =
        RunDialog(parent, title, folder, QFileDialog::AcceptOpen, QFileDialog::ExistingFile);
    return chosen.isEmpty() ? QString() : chosen.first();
}

QStringList AskOpenFiles(QWidget* parent, const QString& title, const QString& folder) {
    return RunDialog(parent, title, folder, QFileDialog::AcceptOpen, QFileDialog::ExistingFiles);
}

QString AskSaveFile(QWidget* parent, const QString& title, const QString& folder) {
    const QStringList chosen =
        RunDialog(parent, title, folder, QFileDialog::AcceptSave, QFileDialog::AnyFile);
    return chosen.isEmpty() ? QString() : chosen.first();
}
