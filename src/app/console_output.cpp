#include "app/console_output.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#ifdef Q_OS_WIN
#include "core/windows_api.h"
#include <io.h>
#else
#include <unistd.h>
#endif

namespace brivane {

namespace {

#ifdef Q_OS_WIN
UINT g_previousCodePage = 0;

void restoreCodePage() {
    SetConsoleOutputCP(g_previousCodePage);
}

// Bytes at the end of text that start a character not yet complete.
qsizetype incompleteTail(const QByteArray& text) {
    for (qsizetype back = 1; back <= std::min<qsizetype>(3, text.size()); ++back) {
        const auto byte = static_cast<unsigned char>(text.at(text.size() - back));
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: look further back
        const int length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}
#endif

} // namespace

ConsoleOutput::ConsoleOutput(int fd) : m_fd(fd) {
#ifdef Q_OS_WIN
    const HANDLE handle = GetStdHandle(fd == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode))
        m_console = handle;
#endif
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

qint64 ConsoleOutput::writeData(const char* data, qint64 size) {
#ifdef Q_OS_WIN
    if (m_console) {
        QByteArray text = m_partial + QByteArray(data, size);
        const qsizetype tail = incompleteTail(text);
        m_partial = text.right(tail);
        text.chop(tail);
        const QString wide = QString::fromUtf8(text);
        const auto* chars = reinterpret_cast<const wchar_t*>(wide.utf16());
        for (qsizetype done = 0; done < wide.size();) {
            DWORD written = 0;
            if (!WriteConsoleW(static_cast<HANDLE>(m_console), chars + done, DWORD(wide.size() - done),
                               &written, nullptr) ||
                written == 0)
                return -1;
            done += written;
        }
        return size;
    }
    for (qint64 done = 0; done < size;) {
        const int written = ::_write(m_fd, data + done, static_cast<unsigned>(size - done));
        if (written <= 0)
            return -1;
        done += written;
    }
#else
    for (qint64 done = 0; done < size;) {
        const ssize_t written = ::write(m_fd, data + done, static_cast<std::size_t>(size - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return -1;
        done += written;
    }
#endif
    return size;
}

bool prepareConsole() {
#ifdef Q_OS_WIN
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!out || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode))
        return false; // redirected: no bar is drawn there
    if (g_previousCodePage == 0 && (g_previousCodePage = GetConsoleOutputCP()) != CP_UTF8) {
        SetConsoleOutputCP(CP_UTF8);
        std::atexit(restoreCodePage);
    }
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    return true;
#endif
}

} // namespace brivane
