#include "capture/folder_chooser.h"

#include "core/dialogs.h"

#include <QDir>

namespace brivane {

QString preparedStartPath(const QString& start) {
    const QChar separator = QDir::separator();
    return start.contains(separator) ? start : start + separator;
}

QString Get_Folder(Dialogs& dialogs, const QString& start) {
    // Shown and stored as the platform writes paths ("D:\\Flats" on Windows).
    return QDir::toNativeSeparators(dialogs.chooseFolder(preparedStartPath(start)));
}

void chooseSaveFolder(Dialogs& dialogs, QString& Save_Path) {
    Save_Path = Get_Folder(dialogs, QString());
    if (Save_Path.isEmpty())
        dialogs.message(MessageBox{QStringLiteral("キャンセルを選択")});
    else
        dialogs.message(MessageBox{QStringLiteral("パス名: ") + Save_Path});
}

} // namespace brivane
