#include "ui/qt_dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

#include <vector>

namespace brivane {

BoxAnswer QtDialogs::message(const MessageBox& box) {
    QMessageBox dialog(m_owner);
    dialog.setText(box.text);
    dialog.setWindowTitle(box.title);
    if (!box.detail.isEmpty())
        dialog.setDetailedText(box.detail);
    switch (box.icon) {
    case BoxIcon::Warning:
        dialog.setIcon(QMessageBox::Warning);
        break;
    case BoxIcon::Question:
        dialog.setIcon(QMessageBox::Question);
        break;
    case BoxIcon::None:
        dialog.setIcon(QMessageBox::NoIcon);
        break;
    }
    std::vector<QMessageBox::StandardButton> buttons;
    switch (box.buttons) {
    case BoxButtons::Ok:
        buttons = {QMessageBox::Ok};
        break;
    case BoxButtons::OkCancel:
        buttons = {QMessageBox::Ok, QMessageBox::Cancel};
        break;
    case BoxButtons::YesNoCancel:
        buttons = {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel};
        break;
    }
    QMessageBox::StandardButtons all;
    for (const auto button : buttons)
        all |= button;
    dialog.setStandardButtons(all);
    if (box.defaultButton >= 0 && box.defaultButton < static_cast<int>(buttons.size()))
        dialog.setDefaultButton(buttons[static_cast<size_t>(box.defaultButton)]);
    const int answer = dialog.exec();
    switch (answer) {
    case QMessageBox::Yes:
        return BoxAnswer::Yes;
    case QMessageBox::No:
        return BoxAnswer::No;
    case QMessageBox::Ok:
        return BoxAnswer::Ok;
    default:
        // Escape or the close box: Cancel where there is one, else the only button.
        return box.buttons == BoxButtons::Ok ? BoxAnswer::Ok : BoxAnswer::Cancel;
    }
}

QString QtDialogs::chooseFolder(const QString& start) {
    return QFileDialog::getExistingDirectory(m_owner, QString(), start, QFileDialog::ShowDirsOnly);
}

} // namespace brivane
