#include "app/camera_choice.h"

#include "capture/alpaca/alpaca_camera.h"
#ifdef BRIVANE_HAVE_INDI
#include "capture/indi/indi_camera.h"
#endif
#ifdef _WIN32
#include "capture/win/ascom_camera.h"
#include "capture/win/maxim_camera.h"
#endif

#include <span>

namespace brivane {

namespace {

using Kind = CameraChoice::Kind;

// Reads "HOST", "HOST:PORT", ":PORT" or "[IPv6]:PORT" into host and port (left as they are when
// not given); the reason for a bad one in error.
bool parseHostPort(const QString& what, const QString& address, QString& host, int& port, QString& error) {
    // The last colon separates the port, so a bracketed IPv6 address keeps its own colons.
    const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
    const bool bracketed = address.startsWith(QLatin1Char('['));
    const bool hasPort = colon >= 0 && (!bracketed || colon > address.indexOf(QLatin1Char(']')));
    QString name = hasPort ? address.left(colon) : address;
    if (hasPort) {
        bool ok = false;
        const int number = address.mid(colon + 1).toInt(&ok);
        if (!ok || number < 1 || number > 65535) {
            error = QStringLiteral("Invalid %1 port in \"%2\".").arg(what, address);
            return false;
        }
        port = number;
    }
    if (bracketed && name.endsWith(QLatin1Char(']')))
        name = name.mid(1, name.size() - 2);
    if (name.contains(QLatin1Char(' ')) || (bracketed && name.isEmpty())) {
        error = QStringLiteral("Invalid %1 host in \"%2\".").arg(what, address);
        return false;
    }
    if (!name.isEmpty())
        host = name;
    return true;
}

bool parseIndi(const QString& address, CameraChoice& choice, QString& error) {
    if (address.isEmpty()) {
        error = QStringLiteral("Missing INDI server address: use indi=HOST:PORT.");
        return false;
    }
    return parseHostPort(QStringLiteral("INDI server"), address, choice.host, choice.port, error);
}

// HOST:PORT[/N]
bool parseAlpacaAddress(const QString& address, DeviceAddress& device, QString& error) {
    const qsizetype slash = address.lastIndexOf(QLatin1Char('/'));
    const QString hostPort = slash >= 0 ? address.left(slash) : address;
    device.number = 0;
    if (slash >= 0) {
        bool ok = false;
        device.number = address.mid(slash + 1).toInt(&ok);
        if (!ok || device.number < 0) {
            error = QStringLiteral("Invalid Alpaca device number in \"%1\".").arg(address);
            return false;
        }
    }
    device.host.clear();
    device.port = 0;
    if (!parseHostPort(QStringLiteral("Alpaca"), hostPort, device.host, device.port, error))
        return false;
    if (device.host.isEmpty() || device.port == 0) {
        error = QStringLiteral("Incomplete Alpaca address \"%1\": use alpaca=HOST:PORT or HOST:PORT/N.")
                    .arg(address);
        return false;
    }
    return true;
}

bool parseAscomId(const QString& progId, DeviceAddress& device, QString& error) {
    if (progId.isEmpty() || progId.contains(QLatin1Char(' '))) {
        error = QStringLiteral(
                    "Invalid ASCOM driver \"%1\": use ascom=PROGID, e.g. ascom=ASCOM.Simulator.Camera.")
                    .arg(progId);
        return false;
    }
    device.name = progId;
    return true;
}

// One row per back-end of --camera (and --filter-wheel where forWheel): its name, whether it takes
// "=VALUE" (and must), and how that value is read.
struct BackEnd {
    const char* name;
    Kind kind;
    bool takesValue;
    bool needsValue;
    bool forWheel;
    bool (*parse)(const QString& value, CameraChoice& choice, QString& error);
};

constexpr BackEnd kBackEnds[] = {
    {"maxim", Kind::Maxim, false, false, false, nullptr},
    {"sim", Kind::Sim, false, false, false, nullptr},
    {"indi", Kind::Indi, true, false, false, parseIndi},
    {"ascom", Kind::Ascom, true, true, true,
     [](const QString& v, CameraChoice& c, QString& e) { return parseAscomId(v, c.device, e); }},
    {"alpaca", Kind::Alpaca, true, true, true,
     [](const QString& v, CameraChoice& c, QString& e) { return parseAlpacaAddress(v, c.device, e); }},
};

const QString kCameraUsage =
    QStringLiteral("use maxim, indi[=HOST:PORT], ascom=PROGID, alpaca=HOST:PORT[/N] or sim");

// The row named by value ("name" or "name=..."), and the text after '='.
const BackEnd* findBackEnd(const QString& value, QString& argument, bool& hasArgument) {
    const qsizetype equals = value.indexOf(QLatin1Char('='));
    const QString name = equals >= 0 ? value.left(equals) : value;
    hasArgument = equals >= 0;
    argument = hasArgument ? value.mid(equals + 1).trimmed() : QString();
    for (const BackEnd& backEnd : kBackEnds)
        if (name.compare(QLatin1String(backEnd.name), Qt::CaseInsensitive) == 0)
            return &backEnd;
    return nullptr;
}

} // namespace

QString cameraOptionHelp() {
    return QStringLiteral(
        "Camera back-end: maxim (Windows automation), indi[=HOST:PORT] (INDI server, default "
        "localhost:7624), ascom=PROGID (an ASCOM camera driver, Windows), alpaca=HOST:PORT[/N] "
        "(ASCOM Alpaca camera N, default 0; see --list-alpaca) or sim (built-in simulator). "
        "Default: maxim on Windows, indi elsewhere; sim with --simulate.");
}

QString filterWheelOptionHelp() {
    return QStringLiteral("Filter wheel of an ascom or alpaca camera: ascom=PROGID or alpaca=HOST:PORT[/N]. "
                          "Without one, such a camera shoots every filter choice unfiltered.");
}

CameraChoice defaultCameraChoice() {
    CameraChoice choice;
#ifdef _WIN32
    choice.kind = Kind::Maxim;
#else
    choice.kind = Kind::Indi;
#endif
    return choice;
}

std::optional<CameraChoice> parseCameraChoice(const QString& value, QString* error) {
    QString argument;
    bool hasArgument = false;
    QString why;
    CameraChoice choice;
    const BackEnd* backEnd = findBackEnd(value.trimmed(), argument, hasArgument);
    if (!backEnd || (hasArgument && !backEnd->takesValue))
        why = QStringLiteral("Unknown camera \"%1\": %2.").arg(value, kCameraUsage);
    else if (!hasArgument && backEnd->needsValue)
        why = QStringLiteral("Camera \"%1\" needs an address: %2.").arg(value, kCameraUsage);
    else {
        choice.kind = backEnd->kind;
        if (!hasArgument || backEnd->parse(argument, choice, why))
            return choice;
    }
    if (error)
        *error = why;
    return std::nullopt;
}

bool parseFilterWheelChoice(const QString& value, CameraChoice& choice, QString& error) {
    QString argument;
    bool hasArgument = false;
    const BackEnd* backEnd = findBackEnd(value.trimmed(), argument, hasArgument);
    if (!backEnd || !backEnd->forWheel || !hasArgument) {
        error = QStringLiteral("Unknown filter wheel \"%1\": use ascom=PROGID or alpaca=HOST:PORT[/N].")
                    .arg(value);
        return false;
    }
    if (backEnd->kind != choice.kind) {
        error = QStringLiteral("The filter wheel \"%1\" needs a camera of the same kind (--camera %2=...).")
                    .arg(value, QLatin1String(backEnd->name));
        return false;
    }
    CameraChoice parsed = choice;
    if (!backEnd->parse(argument, parsed, error))
        return false;
    choice.wheel = parsed.device;
    return true;
}

std::unique_ptr<CameraApp> makeCameraApp(const CameraChoice& choice, PanelLevelSource panel) {
    switch (choice.kind) {
    case Kind::Sim:
        return std::make_unique<SimCameraApp>(std::move(panel));
    case Kind::Indi:
#ifdef BRIVANE_HAVE_INDI
        return makeIndiCameraApp(IndiOptions{choice.host.toStdString(), choice.port,
                                             choice.indiCamera.toStdString(),
                                             choice.indiWheel.toStdString()});
#else
        throw CameraError(QStringLiteral("The INDI camera back-end is not available in this build."));
#endif
    case Kind::Maxim:
#ifdef _WIN32
        return makeMaximCameraApp();
#else
        throw CameraError(QStringLiteral("The MaxIm camera back-end is only available on Windows."));
#endif
    case Kind::Alpaca: {
        std::optional<AlpacaDevice> wheel;
        if (choice.wheel)
            wheel = AlpacaDevice{choice.wheel->host, quint16(choice.wheel->port), choice.wheel->number};
        return makeAlpacaCameraApp(
            AlpacaDevice{choice.device.host, quint16(choice.device.port), choice.device.number}, wheel);
    }
    case Kind::Ascom:
#ifdef _WIN32
        return makeAscomCameraApp(
            AscomOptions{choice.device.name.toStdWString(),
                         choice.wheel ? choice.wheel->name.toStdWString() : std::wstring()});
#else
        throw CameraError(QStringLiteral("The ASCOM camera back-end is only available on Windows."));
#endif
    }
    throw CameraError(QStringLiteral("Unknown camera back-end."));
}

} // namespace brivane
