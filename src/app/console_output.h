#pragma once

#include <QByteArray>
#include <QIODevice>

namespace brivane {

// Standard output or error (fd 1 or 2) as a device for UTF-8 text: to a file or pipe the bytes go as
// they are; to a Windows console they go through WriteConsoleW, so any character shows whatever the
// console's code page.
class ConsoleOutput : public QIODevice {
public:
    explicit ConsoleOutput(int fd);
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override;

private:
    int m_fd;
    void* m_console = nullptr; // the console's handle, when the stream is one
    QByteArray m_partial;      // a character split between two writes
};

// For a program started from a Windows console: its output code page becomes UTF-8 (the old one is
// back at exit) and escape codes are switched on. True when escape codes work on standard output
// (always on POSIX).
bool prepareConsole();

} // namespace brivane
