#pragma once

#include <QString>

namespace brivane {

class Dialogs;

// The start path handed to the folder picker: the platform's separator is appended to a text that
// holds none, so a bare drive "D:" becomes "D:\" and the empty text the root ("\" or "/").
QString preparedStartPath(const QString& start);

// Get_Folder: the folder picker, modal to the window, started at the prepared start path. Returns
// the chosen folder, or the empty text when the user cancelled.
QString Get_Folder(Dialogs& dialogs, const QString& start);

// Picture1: choose the save folder. Save_Path takes the result (empty on cancel, forgetting an
// earlier choice) and the user is told what was chosen.
void chooseSaveFolder(Dialogs& dialogs, QString& Save_Path);

} // namespace brivane
