#include "capture/indi/indi_camera.h"

#include "capture/fits_document.h"
#include "core/wait.h"

#include <QDebug>
#include <QSaveFile>

#include <libindi/baseclient.h>
#include <libindi/basedevice.h>
#include <libindi/indiproperty.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace brivane {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kSlice = 20ms;         // how long a wait blocks before the window gets its events
constexpr auto kDeviceSettle = 300ms; // no new device for this long: the server has listed them all
constexpr auto kConnectTimeout = 3s;  // TCP connect to the server

QString toQString(const std::string& text) {
    return QString::fromStdString(text);
}

// What the client thread has learned about one device.
struct DeviceState {
    unsigned interfaces = 0;
    bool hasDriverInfo = false;
    std::set<std::string> properties;
    bool connected = false;
    IPState connectionState = IPS_IDLE;
    double filterSlot = 0;
    IPState filterState = IPS_IDLE;
    unsigned filterUpdates = 0;
    IPState exposureState = IPS_IDLE;
    unsigned exposureUpdates = 0;
    std::vector<std::string> filterNames; // FILTER_NAME, slot 1 first
    std::string lastMessage;
};

// The libindi client. Its callbacks run on libindi's own thread; they only record what arrived,
// under m_mutex, and wake the camera's waits through m_changed.
class IndiClient : public INDI::BaseClient {
public:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    // guarded by m_mutex
    std::vector<std::string> m_deviceOrder;
    std::map<std::string, DeviceState> m_devices;
    Clock::time_point m_lastDeviceNews{};
    bool m_serverLost = false;
    std::string m_blobDevice; // the camera whose image is wanted
    bool m_expectingImage = false;
    bool m_imageArrived = false;
    QByteArray m_image;
    std::string m_imageFormat;

    using INDI::BaseClient::newDevice;
    using INDI::BaseClient::newMessage;
    using INDI::BaseClient::newProperty;
    using INDI::BaseClient::removeProperty;

protected:
    void newDevice(INDI::BaseDevice device) override {
        {
            std::lock_guard lock(m_mutex);
            deviceState(device.getDeviceName());
            m_lastDeviceNews = Clock::now();
        }
        m_changed.notify_all();
    }

    void newProperty(INDI::Property property) override {
        {
            std::lock_guard lock(m_mutex);
            deviceState(property.getDeviceName()).properties.insert(property.getName());
            record(property);
        }
        m_changed.notify_all();
    }

    void updateProperty(INDI::Property property) override {
        {
            std::lock_guard lock(m_mutex);
            record(property);
        }
        m_changed.notify_all();
    }

    void removeProperty(INDI::Property property) override {
        {
            std::lock_guard lock(m_mutex);
            deviceState(property.getDeviceName()).properties.erase(property.getName());
        }
        m_changed.notify_all();
    }

    void newMessage(INDI::BaseDevice device, int messageId) override {
        {
            std::lock_guard lock(m_mutex);
            deviceState(device.getDeviceName()).lastMessage = device.messageQueue(messageId);
        }
        m_changed.notify_all();
    }

    void serverDisconnected(int) override {
        {
            std::lock_guard lock(m_mutex);
            m_serverLost = true;
        }
        m_changed.notify_all();
    }

private:
    DeviceState& deviceState(const std::string& name) {
        auto [it, inserted] = m_devices.try_emplace(name);
        if (inserted)
            m_deviceOrder.push_back(name);
        return it->second;
    }

    void record(INDI::Property property) {
        DeviceState& device = deviceState(property.getDeviceName());
        if (property.isNameMatch("DRIVER_INFO")) {
            if (auto* text = property.getText())
                if (auto* item = text->findWidgetByName("DRIVER_INTERFACE"); item && item->getText()) {
                    device.interfaces = static_cast<unsigned>(std::strtoul(item->getText(), nullptr, 10));
                    device.hasDriverInfo = true;
                    m_lastDeviceNews = Clock::now();
                }
        } else if (property.isNameMatch("CONNECTION")) {
            if (auto* sw = property.getSwitch()) {
                auto* connect = sw->findWidgetByName("CONNECT");
                device.connected = connect && connect->getState() == ISS_ON && sw->getState() == IPS_OK;
                device.connectionState = sw->getState();
            }
        } else if (property.isNameMatch("FILTER_SLOT")) {
            if (auto* number = property.getNumber(); number && number->count() > 0) {
                device.filterSlot = number->at(0)->getValue();
                device.filterState = number->getState();
                ++device.filterUpdates;
            }
        } else if (property.isNameMatch("FILTER_NAME")) {
            if (auto* text = property.getText()) {
                device.filterNames.clear();
                for (int i = 0; i < text->count(); ++i) {
                    const char* name = text->at(static_cast<std::size_t>(i))->getText();
                    device.filterNames.emplace_back(name ? name : "");
                }
            }
        } else if (property.isNameMatch("CCD_EXPOSURE")) {
            device.exposureState = property.getState();
            ++device.exposureUpdates;
        } else if (property.getType() == INDI_BLOB && property.isNameMatch("CCD1") &&
                   m_blobDevice == property.getDeviceName()) {
            if (!m_expectingImage)
                return; // a frame nobody asked for, e.g. from before this exposure
            auto* blob = property.getBLOB();
            if (!blob || blob->count() == 0 || blob->at(0)->getBlobLen() <= 0)
                return;
            const auto* item = blob->at(0);
            m_image = QByteArray(static_cast<const char*>(item->getBlob()), item->getBlobLen());
            m_imageFormat = item->getFormat() ? item->getFormat() : "";
            m_imageArrived = true;
            m_expectingImage = false;
        }
    }
};

class IndiCamera : public Camera {
public:
    explicit IndiCamera(const IndiOptions& options) : m_options(options) {}

    ~IndiCamera() override {
        if (m_client.isServerConnected())
            m_client.disconnectServer();
    }

    void setLinkEnabled(bool enabled) override {
        if (!enabled) {
            // The device stays connected on the server for other clients.
            if (m_client.isServerConnected())
                m_client.disconnectServer();
            return;
        }
        if (LinkEnabled())
            return;
        if (const QString problem = link(); !problem.isEmpty())
            qWarning().noquote() << "INDI camera not linked:" << problem;
    }

    bool LinkEnabled() override {
        if (!m_client.isServerConnected() || m_camera.empty())
            return false;
        std::lock_guard lock(m_client.m_mutex);
        return !m_client.m_serverLost && cameraReady() && (m_wheel.empty() || wheelReady());
    }

    void setCoolerOn(bool on) override {
        requireLink();
        if (hasProperty(m_camera, "CCD_COOLER"))
            sendSwitch(m_camera, "CCD_COOLER", on ? "COOLER_ON" : "COOLER_OFF");
    }

    void Expose(double seconds, int binning, int filter) override {
        requireLink();
        if (!std::isfinite(seconds) || seconds < 0)
            throw CameraError(QStringLiteral("Invalid exposure time: %1 s.").arg(seconds));
        if (binning < 1)
            throw CameraError(QStringLiteral("Invalid binning: %1.").arg(binning));
        if (filter < 0)
            throw CameraError(QStringLiteral("Invalid filter slot: %1.").arg(filter));
        m_exposing = false;
        if (!m_wheel.empty())
            moveWheel(filter + 1);
        if (hasProperty(m_camera, "CCD_BINNING")) {
            auto property = device(m_camera).getNumber("CCD_BINNING");
            for (const char* axis : {"HOR_BIN", "VER_BIN"})
                if (auto* item = property.findWidgetByName(axis))
                    item->setValue(binning);
            m_client.sendNewNumber(property);
        } else if (binning != 1) {
            throw CameraError(QStringLiteral("The camera %1 has no binning.").arg(toQString(m_camera)));
        }
        if (hasProperty(m_camera, "CCD_FRAME_TYPE"))
            sendSwitch(m_camera, "CCD_FRAME_TYPE",
                       m_frameType == FrameType::Dark ? "FRAME_DARK" : "FRAME_FLAT");

        auto exposure = device(m_camera).getNumber("CCD_EXPOSURE");
        auto* value = exposure.findWidgetByName("CCD_EXPOSURE_VALUE");
        if (!value)
            throw CameraError(QStringLiteral("The camera %1 cannot expose.").arg(toQString(m_camera)));
        // A time below the camera's shortest exposure is taken as the shortest.
        const double sent = std::max(seconds, value->getMin());
        {
            std::lock_guard lock(m_client.m_mutex);
            m_client.m_image.clear();
            m_client.m_imageArrived = false;
            m_client.m_expectingImage = true;
            m_exposureUpdates = m_client.m_devices[m_camera].exposureUpdates;
        }
        m_deadline = Clock::now() +
                     std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sent)) +
                     m_options.imageMargin;
        value->setValue(sent);
        m_client.sendNewNumber(exposure);
        m_exposing = true;
    }

    bool ImageReady() override {
        if (!m_exposing)
            throw CameraError(QStringLiteral("No exposure has been started."));
        std::lock_guard lock(m_client.m_mutex);
        if (m_client.m_imageArrived)
            return true;
        if (m_client.m_serverLost)
            throw CameraError(
                QStringLiteral("Lost the connection to the INDI server at %1 during the exposure.")
                    .arg(server()));
        const DeviceState& camera = m_client.m_devices[m_camera];
        if (camera.exposureUpdates != m_exposureUpdates && camera.exposureState == IPS_ALERT)
            throw CameraError(QStringLiteral("The camera %1 failed the exposure: %2")
                                  .arg(toQString(m_camera), toQString(camera.lastMessage)));
        if (Clock::now() >= m_deadline)
            throw CameraError(QStringLiteral("No image from the camera %1 within %2 s after the exposure.")
                                  .arg(toQString(m_camera))
                                  .arg(std::chrono::duration<double>(m_options.imageMargin).count()));
        return false;
    }

    void SaveImage(const QString& path) override {
        QByteArray image;
        std::string format;
        {
            std::lock_guard lock(m_client.m_mutex);
            if (!m_client.m_imageArrived)
                throw CameraError(QStringLiteral("There is no image to save."));
            image = m_client.m_image;
            format = m_client.m_imageFormat;
        }
        if (format.rfind(".fits", 0) != 0)
            throw CameraError(QStringLiteral("The camera %1 sent a \"%2\" image, not FITS.")
                                  .arg(toQString(m_camera), toQString(format)));
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size() || !file.commit())
            throw CameraError(
                QStringLiteral("Cannot write the image file \"%1\": %2").arg(path, file.errorString()));
    }

    void setFrameType(FrameType type) override { m_frameType = type; }

    QString filterName(int slot) override {
        std::lock_guard lock(m_client.m_mutex);
        const auto it = m_client.m_devices.find(m_wheel);
        if (m_wheel.empty() || it == m_client.m_devices.end() || slot < 0 ||
            static_cast<std::size_t>(slot) >= it->second.filterNames.size())
            return {};
        return toQString(it->second.filterNames[static_cast<std::size_t>(slot)]);
    }

private:
    QString server() const {
        return QStringLiteral("%1:%2").arg(toQString(m_options.host)).arg(m_options.port);
    }

    INDI::BaseDevice device(const std::string& name) {
        auto found = m_client.getDevice(name.c_str());
        if (!found)
            throw CameraError(QStringLiteral("The INDI device %1 has gone.").arg(toQString(name)));
        return found;
    }

    bool hasProperty(const std::string& deviceName, const char* property) {
        std::lock_guard lock(m_client.m_mutex);
        const auto it = m_client.m_devices.find(deviceName);
        return it != m_client.m_devices.end() && it->second.properties.count(property) != 0;
    }

    // One-of-many switch, the libindi 1.9 way: clear every element, set one, send the vector.
    void sendSwitch(const std::string& deviceName, const char* property, const char* element) {
        auto vector = device(deviceName).getSwitch(property);
        auto* item = vector.findWidgetByName(element);
        if (!item)
            throw CameraError(
                QStringLiteral("%1 of %2 has no %3.")
                    .arg(QLatin1String(property), toQString(deviceName), QLatin1String(element)));
        vector.reset();
        item->setState(ISS_ON);
        m_client.sendNewSwitch(vector);
    }

    void requireLink() {
        {
            std::lock_guard lock(m_client.m_mutex);
            if (m_client.m_serverLost && !m_camera.empty())
                throw CameraError(
                    QStringLiteral("Lost the connection to the INDI server at %1.").arg(server()));
        }
        if (!LinkEnabled())
            throw CameraError(QStringLiteral("The camera is not linked."));
    }

    // Both under m_client.m_mutex.
    bool cameraReady() const {
        const auto it = m_client.m_devices.find(m_camera);
        return it != m_client.m_devices.end() && it->second.connected &&
               it->second.properties.count("CCD_EXPOSURE") && it->second.properties.count("CCD1");
    }
    bool wheelReady() const {
        const auto it = m_client.m_devices.find(m_wheel);
        return it != m_client.m_devices.end() && it->second.connected &&
               it->second.properties.count("FILTER_SLOT");
    }

    // Waits for pred (called under the client mutex) until the deadline; the window keeps its
    // events flowing between short blocking waits on the client's notifications.
    template <class Pred> bool waitUntil(Clock::time_point deadline, Pred pred) {
        std::unique_lock lock(m_client.m_mutex);
        for (;;) {
            if (pred())
                return true;
            if (Clock::now() >= deadline || m_client.m_serverLost)
                return false;
            if (m_client.m_changed.wait_until(lock, std::min(deadline, Clock::now() + kSlice), pred))
                return true;
            lock.unlock();
            Wait(std::chrono::duration<double, std::milli>(kSlice).count());
            lock.lock();
        }
    }

    // Returns an empty text on success, else why the link failed.
    QString link() {
        if (!m_client.isServerConnected()) {
            {
                std::lock_guard lock(m_client.m_mutex);
                m_client.m_serverLost = false;
            }
            m_client.setServer(m_options.host.c_str(), static_cast<unsigned>(m_options.port));
            m_client.setConnectionTimeout(
                static_cast<uint32_t>(std::chrono::seconds(kConnectTimeout).count()), 0);
            if (!m_client.connectServer())
                return QStringLiteral("no INDI server at %1").arg(server());
        }
        const Clock::time_point deadline = Clock::now() + m_options.linkTimeout;
        const bool found = waitUntil(deadline, [&] { return devicesListed(); });
        if (!found) {
            std::lock_guard lock(m_client.m_mutex);
            return m_options.camera.empty()
                       ? QStringLiteral("the INDI server at %1 offers no camera").arg(server())
                       : QStringLiteral("the INDI server at %1 has no device %2")
                             .arg(server(), toQString(m_options.camera));
        }
        chooseDevices();
        {
            std::lock_guard lock(m_client.m_mutex);
            m_client.m_blobDevice = m_camera;
        }
        m_client.setBLOBMode(B_ALSO, m_camera.c_str(), nullptr);
        for (const std::string& name : {m_camera, m_wheel}) {
            std::lock_guard lock(m_client.m_mutex);
            if (!name.empty() && !m_client.m_devices[name].connected) {
                m_client.m_devices[name].connectionState = IPS_BUSY;
                m_client.connectDevice(name.c_str());
            }
        }
        const bool ready = waitUntil(deadline, [&] {
            return (cameraReady() && (m_wheel.empty() || wheelReady())) || connectionFailed(m_camera) ||
                   connectionFailed(m_wheel);
        });
        std::lock_guard lock(m_client.m_mutex);
        if (ready && cameraReady() && (m_wheel.empty() || wheelReady())) {
            prepareUpload();
            return {};
        }
        if (m_client.m_serverLost)
            return QStringLiteral("lost the INDI server at %1").arg(server());
        QString names = toQString(m_camera);
        if (!m_wheel.empty())
            names += QStringLiteral(", ") + toQString(m_wheel);
        return QStringLiteral("%1 did not connect: %2")
            .arg(names, toQString(m_client.m_devices[m_camera].lastMessage));
    }

    // Under the mutex: the camera (and a named wheel) are known and the device list has settled.
    bool devicesListed() const {
        const auto& devices = m_client.m_devices;
        const bool settled = Clock::now() - m_client.m_lastDeviceNews >= kDeviceSettle;
        if (!m_options.wheel.empty() && !devices.count(m_options.wheel))
            return false;
        if (!m_options.camera.empty())
            return devices.count(m_options.camera) && (settled || !m_options.wheel.empty());
        const bool anyCamera = std::any_of(devices.begin(), devices.end(), [](const auto& entry) {
            return (entry.second.interfaces & INDI::BaseDevice::CCD_INTERFACE) != 0;
        });
        return anyCamera && settled;
    }

    bool connectionFailed(const std::string& name) const {
        const auto it = m_client.m_devices.find(name);
        return it != m_client.m_devices.end() && it->second.connectionState == IPS_ALERT;
    }

    void chooseDevices() {
        std::lock_guard lock(m_client.m_mutex);
        m_camera = m_options.camera;
        if (m_camera.empty())
            for (const std::string& name : m_client.m_deviceOrder)
                if (m_client.m_devices[name].interfaces & INDI::BaseDevice::CCD_INTERFACE) {
                    m_camera = name;
                    break;
                }
        m_wheel = m_options.wheel;
        if (m_wheel.empty()) {
            // A separate wheel first; else the camera's own filter slot, if it has one.
            for (const std::string& name : m_client.m_deviceOrder)
                if (name != m_camera &&
                    (m_client.m_devices[name].interfaces & INDI::BaseDevice::FILTER_INTERFACE)) {
                    m_wheel = name;
                    break;
                }
            if (m_wheel.empty() &&
                (m_client.m_devices[m_camera].interfaces & INDI::BaseDevice::FILTER_INTERFACE))
                m_wheel = m_camera;
        }
    }

    // Under the mutex. The image must come to this client as a FITS file.
    void prepareUpload() {
        const auto& properties = m_client.m_devices[m_camera].properties;
        auto camera = m_client.getDevice(m_camera.c_str());
        if (properties.count("UPLOAD_MODE")) {
            auto mode = camera.getSwitch("UPLOAD_MODE");
            if (auto* local = mode.findWidgetByName("UPLOAD_LOCAL"); local && local->getState() == ISS_ON) {
                if (auto* both = mode.findWidgetByName("UPLOAD_BOTH")) {
                    mode.reset();
                    both->setState(ISS_ON);
                    m_client.sendNewSwitch(mode);
                }
            }
        }
        if (properties.count("CCD_TRANSFER_FORMAT")) {
            auto format = camera.getSwitch("CCD_TRANSFER_FORMAT");
            if (auto* fits = format.findWidgetByName("FORMAT_FITS"); fits && fits->getState() != ISS_ON) {
                format.reset();
                fits->setState(ISS_ON);
                m_client.sendNewSwitch(format);
            }
        }
    }

    void moveWheel(int slot) {
        auto property = device(m_wheel).getNumber("FILTER_SLOT");
        auto* value = property.findWidgetByName("FILTER_SLOT_VALUE");
        if (!value && property.size() > 0)
            value = &property[0];
        if (!value)
            throw CameraError(QStringLiteral("The filter wheel %1 has no slot.").arg(toQString(m_wheel)));
        if (slot < value->getMin() || (value->getMax() >= value->getMin() && slot > value->getMax()))
            throw CameraError(
                QStringLiteral("The filter wheel %1 has no slot %2.").arg(toQString(m_wheel)).arg(slot));
        unsigned updates = 0;
        {
            std::lock_guard lock(m_client.m_mutex);
            const DeviceState& wheel = m_client.m_devices[m_wheel];
            if (std::lround(wheel.filterSlot) == slot && wheel.filterState != IPS_BUSY &&
                wheel.filterState != IPS_ALERT)
                return;
            updates = wheel.filterUpdates;
        }
        value->setValue(slot);
        m_client.sendNewNumber(property);
        // The slot counts as reached only when the wheel itself reports it, not our own copy.
        const auto arrived = [&] {
            const DeviceState& wheel = m_client.m_devices[m_wheel];
            return wheel.filterUpdates != updates &&
                   ((wheel.filterState == IPS_OK && std::lround(wheel.filterSlot) == slot) ||
                    wheel.filterState == IPS_ALERT);
        };
        const bool done = waitUntil(Clock::now() + m_options.wheelTimeout, arrived);
        std::lock_guard lock(m_client.m_mutex);
        if (m_client.m_serverLost)
            throw CameraError(QStringLiteral("Lost the connection to the INDI server at %1.").arg(server()));
        const DeviceState& wheel = m_client.m_devices[m_wheel];
        if (!done)
            throw CameraError(QStringLiteral("The filter wheel %1 did not reach slot %2.")
                                  .arg(toQString(m_wheel))
                                  .arg(slot));
        if (wheel.filterState == IPS_ALERT)
            throw CameraError(QStringLiteral("The filter wheel %1 failed to reach slot %2: %3")
                                  .arg(toQString(m_wheel))
                                  .arg(slot)
                                  .arg(toQString(wheel.lastMessage)));
    }

    IndiOptions m_options;
    IndiClient m_client;
    std::string m_camera;
    std::string m_wheel;
    bool m_exposing = false;
    FrameType m_frameType = FrameType::Flat;
    unsigned m_exposureUpdates = 0;
    Clock::time_point m_deadline{};
};

class IndiCameraApp : public CameraApp {
public:
    explicit IndiCameraApp(IndiOptions options) : m_options(std::move(options)) {}
    std::unique_ptr<Camera> createCamera() override { return std::make_unique<IndiCamera>(m_options); }
    std::unique_ptr<Document> createDocument() override { return std::make_unique<FitsDocument>(); }

private:
    IndiOptions m_options;
};

} // namespace

std::unique_ptr<CameraApp> makeIndiCameraApp(IndiOptions options) {
    return std::make_unique<IndiCameraApp>(std::move(options));
}

} // namespace brivane
