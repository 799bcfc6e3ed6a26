// The system's serial port on Windows, with overlapped I/O driven by the event loop. (Qt's own
// port never reports received bytes under Wine, where the Windows build is tested.)
#include "link/serial_line.h"

#ifdef _WIN32

#include <QDeadlineTimer>
#include <QWinEventNotifier>

#include "core/windows_api.h"

#include <algorithm>
#include <utility>

namespace brivane {

namespace {

QString systemText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    QString text = length && buffer ? QString::fromWCharArray(buffer, int(length)).trimmed()
                                    : QStringLiteral("error %1").arg(code);
    LocalFree(buffer);
    return text;
}

bool timedOut(DWORD code) {
    return code == ERROR_TIMEOUT || code == WAIT_TIMEOUT || code == ERROR_SEM_TIMEOUT ||
           code == ERROR_COUNTER_TIMEOUT;
}

class Win32SerialLine : public SerialLine {
public:
    Win32SerialLine() {
        m_readOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_writeOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_readDone.setHandle(m_readOv.hEvent);
        m_writeDone.setHandle(m_writeOv.hEvent);
        connect(&m_readDone, &QWinEventNotifier::activated, this, [this] { finishRead(); });
        connect(&m_writeDone, &QWinEventNotifier::activated, this, [this] { finishWrite(); });
    }
    ~Win32SerialLine() override {
        close();
        CloseHandle(m_readOv.hEvent);
        CloseHandle(m_writeOv.hEvent);
    }

    bool open(const QString& device) override {
        close();
        const QString path =
            device.startsWith(QLatin1String("\\\\.\\")) ? device : QStringLiteral("\\\\.\\") + device;
        HANDLE handle =
            CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return fail(GetLastError());
        m_handle = handle;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(m_handle, &dcb))
            return failOpen();
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        if (!SetCommState(m_handle, &dcb))
            return failOpen();
        // A read returns 10 ms after the last byte of a burst, or empty after a second of
        // silence. (Wine never completes the "return at the first byte" form, MAXDWORD/MAXDWORD.)
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = 10;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 1000;
        timeouts.WriteTotalTimeoutConstant = 2000;
        if (!SetCommTimeouts(m_handle, &timeouts))
            return failOpen();
        PurgeComm(m_handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
        m_error.clear();
        m_readDone.setEnabled(true);
        m_writeDone.setEnabled(true);
        startRead();
        return isOpen();
    }

    void close() override {
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        m_readDone.setEnabled(false);
        m_writeDone.setEnabled(false);
        CancelIoEx(m_handle, nullptr);
        DWORD n = 0;
        if (m_reading)
            GetOverlappedResult(m_handle, &m_readOv, &n, TRUE);
        if (m_writing > 0)
            GetOverlappedResult(m_handle, &m_writeOv, &n, TRUE);
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        m_reading = false;
        m_writing = 0;
        m_failed = false;
        m_queued.clear();
        m_inFlight.clear();
        m_received.clear();
        ResetEvent(m_readOv.hEvent);
        ResetEvent(m_writeOv.hEvent);
    }

    bool isOpen() const override { return m_handle != INVALID_HANDLE_VALUE; }

    void write(const QByteArray& bytes) override {
        if (!isOpen() || m_failed)
            return;
        m_queued += bytes;
        startWrite();
    }

    qint64 bytesToWrite() const override { return m_queued.size() + m_writing; }

    bool waitForBytesWritten(int msecs) override {
        const QDeadlineTimer deadline(msecs);
        while (isOpen() && !m_failed && bytesToWrite() > 0) {
            if (m_writing == 0) {
                const qint64 before = bytesToWrite();
                startWrite();
                if (m_writing == 0 && bytesToWrite() == before && deadline.hasExpired())
                    return false; // writes that move nothing end at the deadline too
                continue;
            }
            const DWORD left =
                deadline.isForever() ? INFINITE : DWORD(std::max<qint64>(0, deadline.remainingTime()));
            if (WaitForSingleObject(m_writeOv.hEvent, left) != WAIT_OBJECT_0)
                return false;
            finishWrite();
        }
        return bytesToWrite() == 0;
    }

    QByteArray readAll() override { return std::exchange(m_received, {}); }
    QString errorString() const override { return m_error; }

private:
    bool fail(DWORD code) {
        m_error = systemText(code);
        return false;
    }
    bool failOpen() {
        const DWORD code = GetLastError();
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        return fail(code);
    }
    void lose(DWORD code) {
        if (m_failed)
            return;
        m_failed = true;
        m_error = systemText(code);
        emit failed();
    }

    void startRead() {
        if (!isOpen() || m_failed || m_reading)
            return;
        ResetEvent(m_readOv.hEvent);
        if (!ReadFile(m_handle, m_buffer, sizeof m_buffer, nullptr, &m_readOv)) {
            const DWORD code = GetLastError();
            if (code != ERROR_IO_PENDING)
                return lose(code);
        }
        m_reading = true; // done or not, the event tells
    }

    void finishRead() {
        if (!m_reading)
            return;
        DWORD n = 0;
        const bool ok = GetOverlappedResult(m_handle, &m_readOv, &n, FALSE);
        if (!ok && GetLastError() == ERROR_IO_INCOMPLETE)
            return;
        // Manual-reset: left signalled, the notifier would fire again at once, for ever.
        ResetEvent(m_readOv.hEvent);
        m_reading = false;
        // A read that timed out has read what there was; Wine reports that as an error.
        if (!ok && !timedOut(GetLastError()))
            return lose(GetLastError());
        if (n > 0) {
            m_received.append(m_buffer, qsizetype(n));
            emit readyRead();
        }
        startRead();
    }

    void startWrite() {
        if (!isOpen() || m_failed || m_writing > 0 || m_queued.isEmpty())
            return;
        m_inFlight = std::exchange(m_queued, {});
        m_writing = m_inFlight.size();
        ResetEvent(m_writeOv.hEvent);
        if (!WriteFile(m_handle, m_inFlight.constData(), DWORD(m_inFlight.size()), nullptr, &m_writeOv)) {
            const DWORD code = GetLastError();
            if (code != ERROR_IO_PENDING) {
                m_writing = 0;
                return lose(code);
            }
        }
    }

    void finishWrite() {
        if (m_writing == 0)
            return;
        DWORD n = 0;
        const bool ok = GetOverlappedResult(m_handle, &m_writeOv, &n, FALSE);
        if (!ok && GetLastError() == ERROR_IO_INCOMPLETE)
            return;
        ResetEvent(m_writeOv.hEvent);
        m_writing = 0;
        if (!ok)
            return lose(GetLastError());
        if (qsizetype(n) < m_inFlight.size()) // timed out part-way: the rest goes first next time
            m_queued.prepend(m_inFlight.mid(qsizetype(n)));
        m_inFlight.clear();
        startWrite();
    }

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    OVERLAPPED m_readOv{};
    OVERLAPPED m_writeOv{};
    QWinEventNotifier m_readDone;
    QWinEventNotifier m_writeDone;
    char m_buffer[512];
    bool m_reading = false;
    bool m_failed = false;
    qint64 m_writing = 0;  // bytes of the write in flight
    QByteArray m_inFlight; // owned by the write in flight
    QByteArray m_queued;
    QByteArray m_received;
    QString m_error;
};

} // namespace

std::unique_ptr<SerialLine> makeWin32SerialLine() {
    return std::make_unique<Win32SerialLine>();
}

} // namespace brivane

#endif
