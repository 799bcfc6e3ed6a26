#include "capture/indi/indi_camera.h"

#include "capture/fits_document.h"
#include "capture/indi/indi_session.h"

#include <QSaveFile>
#include <QTimer>

#include <libindi/basedevice.h>

#include <algorithm>
#include <cmath>
#include <optional>

namespace brivane {

namespace {

using indi::Clock;
using indi::DeviceCopy;
using indi::PropertyCopy;
using indi::ServerState;
using indi::Session;
using namespace std::chrono_literals;

constexpr auto kDeviceSettle = 300ms; // no new device for this long: the server has listed them all
constexpr auto kConnectTimeout = 3s;  // TCP connect to the server

QString toQString(const std::string& text) {
    return QString::fromStdString(text);
}

// A switch of the camera that this client needs in a given state while it uses the camera and gives
// back afterwards (the server may be shared with other programs).
class SwitchOverride {
public:
    SwitchOverride(const char* property, const char* wanted, std::vector<std::string> fine)
        : m_property(property), m_wanted(wanted), m_fine(std::move(fine)) {}

    void apply(Session& session, const std::string& device) {
        const std::optional<std::string> current =
            session.read([&](const ServerState& state) -> std::optional<std::string> {
                const DeviceCopy* found = state.device(device);
                const PropertyCopy* property = found ? found->property(m_property) : nullptr;
                if (!property)
                    return std::nullopt;
                const auto* on = property->onSwitch();
                return on ? on->name : std::string();
            });
        if (!current)
            return;
        // Our own restore or change may not have come back yet: a value that is either is ours.
        const bool ours = !m_original.empty() && (*current == m_original || *current == m_wanted);
        if (!ours) {
            m_original.clear();
            if (std::find(m_fine.begin(), m_fine.end(), *current) != m_fine.end() || current->empty())
                return;
            m_original = *current;
        }
        session.sendSwitch(device, m_property, m_wanted);
    }

    void restore(Session& session, const std::string& device) {
        if (!m_original.empty())
            session.sendSwitch(device, m_property, m_original);
    }

private:
    std::string m_property;
    std::string m_wanted;
    std::vector<std::string> m_fine; // states that need no change
    std::string m_original;          // the state given back; empty when nothing was changed
};

// The server connection as the cameras use it: the session, its devices and what they changed.
struct Link {
    std::unique_ptr<Session> session;
    bool listed = false;
    std::string camera;
    std::string wheel;
    // The image must come to this client, as a FITS file.
    SwitchOverride upload{"UPLOAD_MODE", "UPLOAD_BOTH", {"UPLOAD_CLIENT", "UPLOAD_BOTH"}};
    SwitchOverride format{"CCD_TRANSFER_FORMAT", "FORMAT_FITS", {"FORMAT_FITS"}};
};

// Owned by the camera application and shared with its cameras: one connection for as long as
// cameras use it, and a little longer.
class Connection {
public:
    explicit Connection(IndiOptions options) : m_options(std::move(options)) {
        m_idle.setSingleShot(true);
        QObject::connect(&m_idle, &QTimer::timeout, [this] {
            if (m_users == 0)
                m_link.reset();
        });
    }

    const IndiOptions& options() const { return m_options; }

    // The connected link with its devices chosen, or null with the reason in problem.
    std::shared_ptr<Link> acquire(QString& problem) {
        m_idle.stop();
        ++m_users;
        if (m_link && m_link->session->lost())
            m_link.reset();
        if (!m_link) {
            auto link = std::make_shared<Link>();
            link->session = std::make_unique<Session>(m_options.host, m_options.port, m_options.camera);
            problem = link->session->connect(kConnectTimeout);
            if (!problem.isEmpty())
                return nullptr;
            m_link = std::move(link);
        }
        if (!m_link->listed) {
            problem = listDevices(*m_link);
            if (!problem.isEmpty()) {
                m_link.reset();
                return nullptr;
            }
        }
        return m_link;
    }

    // One user less; the last gives back the switches it changed.
    void release() {
        if (--m_users > 0)
            return;
        if (m_link && !m_link->session->lost()) {
            m_link->upload.restore(*m_link->session, m_link->camera);
            m_link->format.restore(*m_link->session, m_link->camera);
        }
        m_idle.start(m_options.keepConnected);
    }

private:
    QString server() const {
        return QStringLiteral("%1:%2").arg(toQString(m_options.host)).arg(m_options.port);
    }

    // Waits for the device list and chooses the camera and the wheel; empty, or why not.
    QString listDevices(Link& link) {
        const bool listed = link.session->waitFor(
            [&](const ServerState& state) { return devicesListed(state); }, m_options.linkTimeout);
        return link.session->read([&](const ServerState& state) -> QString {
            if (state.lost)
                return QStringLiteral("Lost the connection to the INDI server at %1.").arg(server());
            if (!listed) {
                QStringList names;
                for (const std::string& name : state.deviceOrder)
                    names << toQString(name);
                const QString offered =
                    names.isEmpty() ? QStringLiteral("no devices")
                                    : QStringLiteral("the devices %1").arg(names.join(QStringLiteral(", ")));
                const std::string& missing = !m_options.camera.empty() && !state.device(m_options.camera)
                                                 ? m_options.camera
                                                 : m_options.wheel;
                if (missing.empty())
                    return QStringLiteral("The INDI server at %1 offers no camera (it has %2).")
                        .arg(server(), offered);
                return QStringLiteral("The INDI server at %1 has no device \"%2\" (it has %3).")
                    .arg(server(), toQString(missing), offered);
            }
            link.camera = state.camera;
            link.wheel = chooseWheel(state);
            link.listed = true;
            return {};
        });
    }

    // The named devices are known and, unless every device was named, the list has settled.
    bool devicesListed(const ServerState& state) const {
        const bool settled = Clock::now() - state.lastDeviceNews >= kDeviceSettle;
        if (!m_options.wheel.empty() && !state.device(m_options.wheel))
            return false;
        if (state.camera.empty() || !state.device(state.camera))
            return false;
        return settled || (!m_options.camera.empty() && !m_options.wheel.empty());
    }

    std::string chooseWheel(const ServerState& state) const {
        if (!m_options.wheel.empty())
            return m_options.wheel;
        // A separate wheel first; else the camera's own filter slot, if it has one.
        for (const std::string& name : state.deviceOrder)
            if (name != state.camera && (state.device(name)->interfaces & INDI::BaseDevice::FILTER_INTERFACE))
                return name;
        const DeviceCopy* camera = state.device(state.camera);
        return camera && (camera->interfaces & INDI::BaseDevice::FILTER_INTERFACE) ? state.camera
                                                                                   : std::string();
    }

    IndiOptions m_options;
    std::shared_ptr<Link> m_link;
    int m_users = 0;
    QTimer m_idle;
};

class IndiCamera : public Camera {
public:
    explicit IndiCamera(std::shared_ptr<Connection> connection)
        : m_connection(std::move(connection)), m_options(m_connection->options()) {}

    ~IndiCamera() override { unlink(); }

    void setLinkEnabled(bool enabled) override {
        if (!enabled) {
            // The devices stay connected on the server for other clients.
            unlink();
            return;
        }
        if (LinkEnabled())
            return;
        unlink();
        if (const QString problem = link(); !problem.isEmpty())
            throw CameraLinkError(problem);
    }

    bool LinkEnabled() override {
        return m_link && m_link->session->read([&](const ServerState& state) { return ready(state); });
    }

    void setCoolerOn(bool on) override {
        requireLink();
        session().sendSwitch(m_link->camera, "CCD_COOLER", on ? "COOLER_ON" : "COOLER_OFF");
    }

    void Expose(double seconds, int binning, int filter) override {
        requireLink();
        checkExposeArguments(seconds, binning, filter);
        abortExposure();
        if (!m_link->wheel.empty())
            moveWheel(filter + 1);
        setBinning(binning);
        sendFrameType(m_frameType == FrameType::Dark ? "FRAME_DARK" : "FRAME_FLAT");
        startExposure(seconds);
    }

    bool ImageReady() override {
        if (!m_exposing)
            throw CameraError(QStringLiteral("No exposure has been started."));
        return session().read([&](const ServerState& state) {
            if (state.imageArrived)
                return true;
            if (state.lost)
                throw CameraError(
                    QStringLiteral("Lost the connection to the INDI server at %1 during the exposure.")
                        .arg(session().server()));
            const DeviceCopy* camera = state.device(m_link->camera);
            const PropertyCopy* exposure = camera ? camera->property("CCD_EXPOSURE") : nullptr;
            if (!exposure)
                throw CameraError(
                    QStringLiteral("The INDI device %1 has gone.").arg(toQString(m_link->camera)));
            if (exposure->updates != m_exposureUpdates && exposure->state == IPS_ALERT)
                throw CameraError(QStringLiteral("The camera %1 failed the exposure: %2")
                                      .arg(toQString(m_link->camera), toQString(camera->lastMessage)));
            if (Clock::now() >= m_deadline)
                throw CameraError(
                    QStringLiteral("No image from the camera %1 within %2 s after the exposure.")
                        .arg(toQString(m_link->camera))
                        .arg(std::chrono::duration<double>(m_options.imageMargin).count()));
            return false;
        });
    }

    void setFrameType(FrameType type) override { m_frameType = type; }
    bool shootsDarkFrames() const override { return true; }

    // CCD_GAIN/CCD_OFFSET in most drivers; CCD_CONTROLS' Gain/Offset in the ZWO-style ones.
    bool setGain(double gain) override { return sendControl("CCD_GAIN", "GAIN", "Gain", gain); }
    bool setOffset(double offset) override { return sendControl("CCD_OFFSET", "OFFSET", "Offset", offset); }

    // FILTER_NAME's texts, slot 1 first.
    QString filterName(int slot) override {
        if (!m_link || m_link->wheel.empty() || slot < 0)
            return {};
        return session().read([&](const ServerState& state) {
            const DeviceCopy* wheel = state.device(m_link->wheel);
            const PropertyCopy* names = wheel ? wheel->property("FILTER_NAME") : nullptr;
            if (!names || static_cast<std::size_t>(slot) >= names->elements.size())
                return QString();
            return toQString(names->elements[static_cast<std::size_t>(slot)].text);
        });
    }

    void SaveImage(const QString& path) override {
        if (!m_link)
            throw CameraError(QStringLiteral("There is no image to save."));
        const auto [image, format] = session().modify([&](ServerState& state) {
            if (!state.imageArrived)
                throw CameraError(QStringLiteral("There is no image to save."));
            m_exposing = false;
            return std::pair{state.image, state.imageFormat};
        });
        if (format.rfind(".fits", 0) != 0)
            throw CameraError(QStringLiteral("The camera %1 sent a \"%2\" image, not FITS.")
                                  .arg(toQString(m_link->camera), toQString(format)));
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(image.data(), static_cast<qint64>(image.size())) !=
                static_cast<qint64>(image.size()) ||
            !file.commit())
            throw CameraError(
                QStringLiteral("Cannot write the image file \"%1\": %2").arg(path, file.errorString()));
    }

private:
    Session& session() { return *m_link->session; }

    // Empty on success, else why the camera did not link.
    QString link() {
        QString problem;
        m_link = m_connection->acquire(problem);
        if (!m_link) {
            m_connection->release();
            return problem;
        }
        m_acquired = true;
        for (const std::string& name : {m_link->camera, m_link->wheel}) {
            const bool connected = session().read([&](const ServerState& state) {
                const DeviceCopy* device = state.device(name);
                return name.empty() || (device && device->connected());
            });
            if (!connected)
                session().sendSwitch(name, "CONNECTION", "CONNECT");
        }
        const bool done = session().waitFor(
            [&](const ServerState& state) { return ready(state) || connectionFailed(state); },
            m_options.linkTimeout);
        problem = session().read([&](const ServerState& state) -> QString {
            if (done && ready(state))
                return {};
            if (state.lost)
                return QStringLiteral("Lost the connection to the INDI server at %1.")
                    .arg(session().server());
            QString names = toQString(m_link->camera);
            if (!m_link->wheel.empty() && m_link->wheel != m_link->camera)
                names += QStringLiteral(", ") + toQString(m_link->wheel);
            std::string message;
            for (const std::string& name : {m_link->camera, m_link->wheel})
                if (const DeviceCopy* device = state.device(name); device && message.empty())
                    message = device->lastMessage;
            return QStringLiteral("%1 did not connect: %2")
                .arg(names, message.empty() ? QStringLiteral("no answer") : toQString(message));
        });
        if (!problem.isEmpty()) {
            unlink();
            return problem;
        }
        m_link->upload.apply(session(), m_link->camera);
        m_link->format.apply(session(), m_link->camera);
        return {};
    }

    void unlink() {
        if (!m_acquired)
            return;
        abortExposure();
        m_acquired = false;
        m_link = nullptr;
        m_connection->release();
    }

    // Under the session's mutex.
    bool ready(const ServerState& state) const {
        if (state.lost)
            return false;
        const DeviceCopy* camera = state.device(m_link->camera);
        if (!camera || !camera->connected() || !camera->property("CCD_EXPOSURE") || !camera->property("CCD1"))
            return false;
        if (m_link->wheel.empty())
            return true;
        const DeviceCopy* wheel = state.device(m_link->wheel);
        return wheel && wheel->connected() && wheel->property("FILTER_SLOT");
    }
    bool connectionFailed(const ServerState& state) const {
        for (const std::string& name : {m_link->camera, m_link->wheel})
            if (const DeviceCopy* device = state.device(name); device && device->connectionFailed())
                return true;
        return false;
    }

    void requireLink() {
        if (m_link && session().lost())
            throw CameraError(
                QStringLiteral("Lost the connection to the INDI server at %1.").arg(session().server()));
        if (!LinkEnabled())
            throw CameraError(QStringLiteral("The camera is not linked."));
    }

    // Under the session's mutex: the camera's property, or null.
    const PropertyCopy* cameraProperty(const ServerState& state, const char* name) const {
        const DeviceCopy* camera = state.device(m_link->camera);
        return camera ? camera->property(name) : nullptr;
    }

    void setBinning(int binning) {
        const bool hasBinning = session().read(
            [&](const ServerState& state) { return cameraProperty(state, "CCD_BINNING") != nullptr; });
        if (hasBinning) {
            session().sendNumber(m_link->camera, "CCD_BINNING", {{"HOR_BIN", binning}, {"VER_BIN", binning}});
        } else if (binning != 1) {
            throw CameraError(QStringLiteral("The camera %1 has no binning.").arg(toQString(m_link->camera)));
        }
    }

    bool sendControl(const char* property, const char* element, const char* control, double value) {
        requireLink();
        const std::string device = m_link->camera;
        const auto has = [&](const char* name, const char* member) {
            return session().read([&](const ServerState& state) {
                const PropertyCopy* found = cameraProperty(state, name);
                return found && found->element(member) != nullptr;
            });
        };
        if (has(property, element))
            return session().sendNumber(device, property, {{element, value}});
        if (has("CCD_CONTROLS", control))
            return session().sendNumber(device, "CCD_CONTROLS", {{control, value}});
        return false;
    }

    // Light, flat, dark or bias, where the camera knows frame types.
    void sendFrameType(const char* type) { session().sendSwitch(m_link->camera, "CCD_FRAME_TYPE", type); }

    void startExposure(double seconds) {
        // A time below the camera's shortest exposure is taken as the shortest.
        const std::optional<double> shortest = session().read([&](const ServerState& state) {
            const PropertyCopy* exposure = cameraProperty(state, "CCD_EXPOSURE");
            const auto* value = exposure ? exposure->element("CCD_EXPOSURE_VALUE") : nullptr;
            return value ? std::optional<double>(value->min) : std::nullopt;
        });
        if (!shortest)
            throw CameraError(QStringLiteral("The camera %1 cannot expose.").arg(toQString(m_link->camera)));
        const double sent = std::max(seconds, *shortest);
        session().modify([&](ServerState& state) {
            state.image.clear();
            state.imageArrived = false;
            state.expectingImage = true;
            if (const PropertyCopy* exposure = cameraProperty(state, "CCD_EXPOSURE"))
                m_exposureUpdates = exposure->updates;
        });
        m_deadline = Clock::now() +
                     std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sent)) +
                     m_options.imageMargin;
        session().sendNumber(m_link->camera, "CCD_EXPOSURE", {{"CCD_EXPOSURE_VALUE", sent}});
        m_exposing = true;
    }

    // An exposure left unfinished (an error, the program ending) is stopped on the camera.
    void abortExposure() {
        if (!m_exposing || !m_link)
            return;
        m_exposing = false;
        const bool pending = session().modify([](ServerState& state) {
            const bool waiting = state.expectingImage;
            state.expectingImage = false;
            return waiting;
        });
        if (pending && !session().lost())
            session().sendSwitch(m_link->camera, "CCD_ABORT_EXPOSURE", "ABORT");
    }

    void moveWheel(int slot) {
        struct Slot {
            bool found = false;
            double min = 0, max = 0, value = 0;
            IPState state = IPS_IDLE;
            unsigned updates = 0;
            std::string element;
        };
        const auto slotOf = [&](const ServerState& state) {
            Slot result;
            const DeviceCopy* wheel = state.device(m_link->wheel);
            const PropertyCopy* property = wheel ? wheel->property("FILTER_SLOT") : nullptr;
            if (!property || property->elements.empty())
                return result;
            const auto* value = property->element("FILTER_SLOT_VALUE");
            if (!value)
                value = &property->elements.front();
            return Slot{true,       value->min, value->max, value->value, property->state, property->updates,
                        value->name};
        };
        const Slot before = session().read(slotOf);
        if (!before.found)
            throw CameraError(
                QStringLiteral("The filter wheel %1 has no slot.").arg(toQString(m_link->wheel)));
        if (slot < before.min || (before.max >= before.min && slot > before.max))
            throw CameraError(QStringLiteral("The filter wheel %1 has no slot %2.")
                                  .arg(toQString(m_link->wheel))
                                  .arg(slot));
        if (std::lround(before.value) == slot && before.state != IPS_BUSY && before.state != IPS_ALERT)
            return;
        session().sendNumber(m_link->wheel, "FILTER_SLOT", {{before.element, slot}});
        // The slot counts as reached only when the wheel itself reports it.
        const bool done = session().waitFor(
            [&](const ServerState& state) {
                const Slot now = slotOf(state);
                return now.updates != before.updates &&
                       ((now.state == IPS_OK && std::lround(now.value) == slot) || now.state == IPS_ALERT);
            },
            m_options.wheelTimeout);
        session().read([&](const ServerState& state) {
            if (state.lost)
                throw CameraError(
                    QStringLiteral("Lost the connection to the INDI server at %1.").arg(session().server()));
            if (!done)
                throw CameraError(QStringLiteral("The filter wheel %1 did not reach slot %2.")
                                      .arg(toQString(m_link->wheel))
                                      .arg(slot));
            if (slotOf(state).state == IPS_ALERT) {
                const DeviceCopy* wheel = state.device(m_link->wheel);
                throw CameraError(QStringLiteral("The filter wheel %1 failed to reach slot %2: %3")
                                      .arg(toQString(m_link->wheel))
                                      .arg(slot)
                                      .arg(wheel ? toQString(wheel->lastMessage) : QString()));
            }
        });
    }

    std::shared_ptr<Connection> m_connection;
    IndiOptions m_options;
    std::shared_ptr<Link> m_link; // while acquired
    bool m_acquired = false;
    bool m_exposing = false;
    FrameType m_frameType = FrameType::Flat;
    unsigned m_exposureUpdates = 0;
    Clock::time_point m_deadline{};
};

class IndiCameraApp : public CameraApp {
public:
    explicit IndiCameraApp(IndiOptions options)
        : m_connection(std::make_shared<Connection>(std::move(options))) {}
    std::unique_ptr<Camera> createCamera() override { return std::make_unique<IndiCamera>(m_connection); }
    std::unique_ptr<Document> createDocument() override { return std::make_unique<FitsDocument>(); }

private:
    std::shared_ptr<Connection> m_connection;
};

} // namespace

std::unique_ptr<CameraApp> makeIndiCameraApp(IndiOptions options) {
    return std::make_unique<IndiCameraApp>(std::move(options));
}

} // namespace brivane
