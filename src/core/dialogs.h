#pragma once

#include <QString>

class QWidget;

namespace brivane {

enum class BoxButtons { Ok, OkCancel, YesNoCancel };
enum class BoxIcon { None, Warning, Question };
enum class BoxAnswer { Ok, Cancel, Yes, No };

struct MessageBox {
    QString text;
    QString title = QStringLiteral("Brivane");
    BoxButtons buttons = BoxButtons::Ok;
    BoxIcon icon = BoxIcon::None;
    int defaultButton = 0; // index into the buttons, left to right
    QString detail{};      // the box's detailed text, shown on request; none when empty
};

// Every modal dialog of the program goes through this, so tests can record and answer them.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual BoxAnswer message(const MessageBox& box) = 0;
    // A folder picker modal to the window, directories only; returns the chosen path, empty on cancel.
    virtual QString chooseFolder(const QString& start) = 0;
};

} // namespace brivane
