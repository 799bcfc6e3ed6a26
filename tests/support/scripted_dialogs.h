#pragma once

#include "core/dialogs.h"

#include <QStringList>

#include <deque>
#include <vector>

namespace brivane::test {

// Records every dialog the program shows and answers it from a script (default: the first
// button, Cancel for a folder).
class ScriptedDialogs : public Dialogs {
public:
    BoxAnswer message(const MessageBox& box) override {
        shown.push_back(box);
        if (!answers.empty()) {
            const BoxAnswer answer = answers.front();
            answers.pop_front();
            return answer;
        }
        return box.buttons == BoxButtons::YesNoCancel ? BoxAnswer::Yes : BoxAnswer::Ok;
    }
    QString chooseFolder(const QString& start) override {
        folderStarts.push_back(start);
        if (folders.empty())
            return QString();
        const QString folder = folders.front();
        folders.pop_front();
        return folder;
    }
    QStringList texts() const {
        QStringList out;
        for (const auto& box : shown)
            out << box.text;
        return out;
    }

    std::vector<MessageBox> shown;
    std::deque<BoxAnswer> answers;
    std::deque<QString> folders;
    QStringList folderStarts;
};

} // namespace brivane::test
