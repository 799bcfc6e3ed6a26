#pragma once

#include "core/dialogs.h"

class QWidget;

namespace brivane {

// The dialogs of a real session: QMessageBox and the platform's folder picker.
class QtDialogs : public Dialogs {
public:
    void setOwner(QWidget* owner) { m_owner = owner; }
    BoxAnswer message(const MessageBox& box) override;
    QString chooseFolder(const QString& start) override;

private:
    QWidget* m_owner = nullptr;
};

} // namespace brivane
