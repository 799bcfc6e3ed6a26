#include "app/camera_choice.h"

#ifdef BRIVANE_HAVE_INDI
#include "capture/indi/indi_camera.h"
#endif
#ifdef _WIN32
#include "capture/win/maxim_camera.h"
#endif

namespace brivane {

CameraChoice defaultCameraChoice() {
    CameraChoice choice;
#ifdef _WIN32
    choice.kind = CameraChoice::Kind::Maxim;
#else
    choice.kind = CameraChoice::Kind::Indi;
#endif
    return choice;
}

std::optional<CameraChoice> parseCameraChoice(const QString& value, QString* error) {
    const auto fail = [&](const QString& why) -> std::optional<CameraChoice> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    CameraChoice choice;
    const QString text = value.trimmed();
    if (text.compare(QLatin1String("maxim"), Qt::CaseInsensitive) == 0) {
        choice.kind = CameraChoice::Kind::Maxim;
        return choice;
    }
    if (text.compare(QLatin1String("sim"), Qt::CaseInsensitive) == 0) {
        choice.kind = CameraChoice::Kind::Sim;
        return choice;
    }
    const QString indi = QStringLiteral("indi");
    if (!text.startsWith(indi, Qt::CaseInsensitive))
        return fail(QStringLiteral("Unknown camera \"%1\": use maxim, indi[=HOST:PORT] or sim.").arg(value));
    choice.kind = CameraChoice::Kind::Indi;
    if (text.size() == indi.size())
        return choice;
    if (text.at(indi.size()) != QLatin1Char('='))
        return fail(QStringLiteral("Unknown camera \"%1\": use maxim, indi[=HOST:PORT] or sim.").arg(value));
    const QString address = text.mid(indi.size() + 1);
    if (address.isEmpty())
        return fail(QStringLiteral("Missing INDI server address in \"%1\": use indi=HOST:PORT.").arg(value));
    // The last colon separates the port, so a bracketed IPv6 address keeps its own colons.
    const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
    const bool bracketed = address.startsWith(QLatin1Char('['));
    const bool hasPort = colon >= 0 && (!bracketed || colon > address.indexOf(QLatin1Char(']')));
    QString host = hasPort ? address.left(colon) : address;
    if (hasPort) {
        bool ok = false;
        const int port = address.mid(colon + 1).toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return fail(QStringLiteral("Invalid INDI server port in \"%1\".").arg(value));
        choice.port = port;
    }
    if (bracketed && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (host.contains(QLatin1Char(' ')) || (bracketed && host.isEmpty()))
        return fail(QStringLiteral("Invalid INDI server host in \"%1\".").arg(value));
    if (!host.isEmpty())
        choice.host = host;
    return choice;
}

std::unique_ptr<CameraApp> makeCameraApp(const CameraChoice& choice, PanelLevelSource panel) {
    switch (choice.kind) {
    case CameraChoice::Kind::Sim: {
        auto app = std::make_unique<SimCameraApp>(std::move(panel));
        app->setSensor(choice.simSensor);
        return app;
    }
    case CameraChoice::Kind::Indi:
#ifdef BRIVANE_HAVE_INDI
        return makeIndiCameraApp(IndiOptions{choice.host.toStdString(), choice.port,
                                             choice.indiCamera.toStdString(),
                                             choice.indiWheel.toStdString()});
#else
        throw CameraError(QStringLiteral("The INDI camera back-end is not available in this build."));
#endif
    case CameraChoice::Kind::Maxim:
#ifdef _WIN32
        return makeMaximCameraApp();
#else
        throw CameraError(QStringLiteral("The MaxIm camera back-end is only available on Windows."));
#endif
    }
    throw CameraError(QStringLiteral("Unknown camera back-end."));
}

} // namespace brivane
