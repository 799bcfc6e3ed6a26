#include "capture/indi/indi_session.h"

#include "core/wait.h"

#include <libindi/baseclient.h>
#include <libindi/basedevice.h>
#include <libindi/indiproperty.h>
#include <libindi/indipropertynumber.h>
#include <libindi/indipropertyswitch.h>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace brivane::indi {

using namespace std::chrono_literals;

const ElementCopy* PropertyCopy::element(std::string_view name) const {
    const auto it = std::find_if(elements.begin(), elements.end(),
                                 [&](const ElementCopy& element) { return element.name == name; });
    return it == elements.end() ? nullptr : &*it;
}

const ElementCopy* PropertyCopy::onSwitch() const {
    const auto it = std::find_if(elements.begin(), elements.end(),
                                 [](const ElementCopy& element) { return element.state == ISS_ON; });
    return it == elements.end() ? nullptr : &*it;
}

const PropertyCopy* DeviceCopy::property(std::string_view name) const {
    const auto it = properties.find(name);
    return it == properties.end() ? nullptr : &it->second;
}

bool DeviceCopy::connected() const {
    const PropertyCopy* connection = property("CONNECTION");
    const ElementCopy* connect = connection ? connection->element("CONNECT") : nullptr;
    return connect && connect->state == ISS_ON && connection->state == IPS_OK;
}

bool DeviceCopy::connectionFailed() const {
    const PropertyCopy* connection = property("CONNECTION");
    return connection && connection->state == IPS_ALERT;
}

const DeviceCopy* ServerState::device(std::string_view name) const {
    const auto it = devices.find(name);
    return it == devices.end() ? nullptr : &it->second;
}

namespace {

// Runs on libindi's thread, which owns the property.
PropertyCopy copyOf(const INDI::Property& property) {
    PropertyCopy copy;
    copy.type = property.getType();
    copy.state = property.getState();
    const auto add = [&](const char* name) -> ElementCopy& {
        ElementCopy& element = copy.elements.emplace_back();
        element.name = name ? name : "";
        return element;
    };
    switch (copy.type) {
    case INDI_NUMBER:
        if (const auto* numbers = property.getNumber())
            for (int i = 0; i < numbers->count(); ++i) {
                const auto* item = numbers->at(i);
                ElementCopy& element = add(item->getName());
                element.value = item->getValue();
                element.min = item->getMin();
                element.max = item->getMax();
            }
        break;
    case INDI_SWITCH:
        if (const auto* switches = property.getSwitch())
            for (int i = 0; i < switches->count(); ++i)
                add(switches->at(i)->getName()).state = switches->at(i)->getState();
        break;
    case INDI_TEXT:
        if (const auto* texts = property.getText())
            for (int i = 0; i < texts->count(); ++i) {
                const char* text = texts->at(i)->getText();
                add(texts->at(i)->getName()).text = text ? text : "";
            }
        break;
    case INDI_BLOB: // names only: the data is taken when an image is expected
        if (const auto* blobs = property.getBLOB())
            for (int i = 0; i < blobs->count(); ++i)
                add(blobs->at(i)->getName());
        break;
    default:
        break;
    }
    return copy;
}

constexpr const char* kImageProperty = "CCD1";

} // namespace

// The libindi client. Its callbacks run on libindi's socket thread: each copies what arrived and
// stores it under the shared mutex. The session's own calls only send new property objects and
// connect or disconnect, which libindi does safely from another thread.
class Client : public INDI::BaseClient {
public:
    explicit Client(std::shared_ptr<Session::Shared> shared) : m_shared(std::move(shared)) {}

protected:
    void newDevice(INDI::BaseDevice device) override {
        std::lock_guard lock(m_shared->mutex);
        deviceOf(device.getDeviceName());
        m_shared->state.lastDeviceNews = Clock::now();
    }

    void removeDevice(INDI::BaseDevice device) override {
        const std::string name = device.getDeviceName();
        std::lock_guard lock(m_shared->mutex);
        ServerState& state = m_shared->state;
        state.devices.erase(name);
        state.deviceOrder.erase(std::remove(state.deviceOrder.begin(), state.deviceOrder.end(), name),
                                state.deviceOrder.end());
    }

    void newProperty(INDI::Property property) override { store(property, true); }
    void updateProperty(INDI::Property property) override { store(property, false); }

    void removeProperty(INDI::Property property) override {
        const std::string device = property.getDeviceName();
        const std::string name = property.getName();
        std::lock_guard lock(m_shared->mutex);
        if (auto it = m_shared->state.devices.find(device); it != m_shared->state.devices.end())
            it->second.properties.erase(name);
    }

    void newMessage(INDI::BaseDevice device, int messageId) override {
        const std::string name = device.getDeviceName();
        const std::string text = device.messageQueue(messageId);
        std::lock_guard lock(m_shared->mutex);
        deviceOf(name).lastMessage = text;
    }

    void serverDisconnected(int) override {
        std::lock_guard lock(m_shared->mutex);
        m_shared->state.lost = true;
    }

private:
    // Under the mutex.
    DeviceCopy& deviceOf(const std::string& name) {
        ServerState& state = m_shared->state;
        auto [it, inserted] = state.devices.try_emplace(name);
        if (inserted)
            state.deviceOrder.push_back(name);
        return it->second;
    }

    void store(const INDI::Property& property, bool defined) {
        const std::string deviceName = property.getDeviceName();
        const std::string name = property.getName();
        PropertyCopy copy = copyOf(property);
        std::string image;
        std::string format;
        const bool isImage = copy.type == INDI_BLOB && name == kImageProperty;
        if (isImage && !defined)
            if (const auto* blobs = property.getBLOB(); blobs && blobs->count() > 0) {
                const auto* item = blobs->at(0);
                if (item->getBlobLen() > 0 && item->getBlob())
                    image.assign(static_cast<const char*>(item->getBlob()),
                                 static_cast<size_t>(item->getBlobLen()));
                format = item->getFormat() ? item->getFormat() : "";
            }

        bool wantImages = false;
        {
            std::lock_guard lock(m_shared->mutex);
            ServerState& state = m_shared->state;
            DeviceCopy& device = deviceOf(deviceName);
            PropertyCopy& stored = device.properties[name];
            copy.updates = stored.updates + 1;
            stored = std::move(copy);
            if (name == "DRIVER_INFO") {
                if (const ElementCopy* interface = stored.element("DRIVER_INTERFACE"))
                    device.interfaces =
                        static_cast<unsigned>(std::strtoul(interface->text.c_str(), nullptr, 10));
                state.lastDeviceNews = Clock::now();
                if (state.camera.empty() && (device.interfaces & INDI::BaseDevice::CCD_INTERFACE)) {
                    state.camera = deviceName;
                    wantImages = device.properties.count(kImageProperty) != 0;
                }
            }
            if (isImage && deviceName == state.camera) {
                if (defined) {
                    wantImages = true;
                } else if (state.expectingImage && !image.empty()) {
                    // A frame that arrives unasked (from before this exposure) is dropped.
                    state.image = std::move(image);
                    state.imageFormat = std::move(format);
                    state.imageArrived = true;
                    state.expectingImage = false;
                }
            }
        }
        // On this thread, which is the one that reads the client's BLOB settings.
        if (wantImages)
            setBLOBMode(B_ALSO, deviceName.c_str(), kImageProperty);
    }

    std::shared_ptr<Session::Shared> m_shared;
};

Session::Session(std::string host, int port, std::string camera)
    : m_host(std::move(host)), m_port(port), m_shared(std::make_shared<Shared>()),
      m_client(std::make_shared<Client>(m_shared)) {
    m_shared->state.camera = std::move(camera);
}

Session::~Session() {
    // After a lost server too: this also ends libindi's socket thread before the client goes.
    if (m_connected)
        m_client->disconnectServer();
}

QString Session::server() const {
    return QStringLiteral("%1:%2").arg(QString::fromStdString(m_host)).arg(m_port);
}

QString Session::connect(std::chrono::milliseconds timeout) {
    // libindi's connectServer blocks until connected or its time-out: it runs on a thread of its own
    // while the window waits. A wait abandoned at program end leaves that thread the client.
    struct Attempt {
        std::mutex mutex;
        bool done = false;
        bool abandoned = false;
        bool ok = false;
        std::string problem;
    };
    auto attempt = std::make_shared<Attempt>();
    std::thread worker([client = m_client, attempt, host = m_host, port = m_port, timeout] {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
        client->setServer(host.c_str(), static_cast<unsigned>(port));
        client->setConnectionTimeout(static_cast<uint32_t>(seconds.count()),
                                     static_cast<uint32_t>((timeout - seconds).count() * 1000));
        const bool ok = client->connectServer();
        std::string problem = ok ? std::string() : tcpProblem(host, port, timeout);
        bool abandoned = false;
        {
            std::lock_guard lock(attempt->mutex);
            attempt->done = true;
            attempt->ok = ok;
            attempt->problem = std::move(problem);
            abandoned = attempt->abandoned;
        }
        if (abandoned && ok)
            client->disconnectServer();
    });
    const auto finished = [&] {
        std::lock_guard lock(attempt->mutex);
        if (!attempt->done)
            attempt->abandoned = true;
        return attempt->done;
    };
    try {
        waitUntil(
            [&] {
                std::lock_guard lock(attempt->mutex);
                return attempt->done;
            },
            2 * timeout + 1s);
    } catch (...) {
        finished() ? worker.join() : worker.detach();
        throw;
    }
    if (!finished()) {
        worker.detach();
        return QStringLiteral("Cannot reach the INDI server at %1: no answer.").arg(server());
    }
    worker.join();
    if (!attempt->ok) {
        const std::string& problem = attempt->problem;
        return QStringLiteral("Cannot reach the INDI server at %1: %2.")
            .arg(server(), problem.empty() ? QStringLiteral("the server did not answer")
                                           : QString::fromLocal8Bit(problem.c_str()));
    }
    m_connected = true;
    return {};
}

bool Session::waitFor(const std::function<bool(const ServerState&)>& done,
                      std::chrono::milliseconds timeout) {
    bool result = false;
    waitUntil(
        [&] {
            std::lock_guard lock(m_shared->mutex);
            result = done(m_shared->state);
            return result || m_shared->state.lost;
        },
        timeout);
    return result;
}

bool Session::sendNumber(const std::string& device, const std::string& property,
                         const std::vector<std::pair<std::string, double>>& values) {
    PropertyCopy copy;
    {
        std::lock_guard lock(m_shared->mutex);
        const DeviceCopy* found = m_shared->state.device(device);
        const PropertyCopy* stored = found ? found->property(property) : nullptr;
        if (!stored || stored->type != INDI_NUMBER)
            return false;
        copy = *stored;
    }
    for (const auto& [name, value] : values)
        if (!copy.element(name))
            return false;
    INDI::PropertyNumber number(copy.elements.size());
    number.setDeviceName(device.c_str());
    number.setName(property);
    for (size_t i = 0; i < copy.elements.size(); ++i) {
        const ElementCopy& element = copy.elements[i];
        double value = element.value;
        for (const auto& [name, changed] : values)
            if (name == element.name)
                value = changed;
        number[i].setName(element.name);
        number[i].setValue(value);
    }
    m_client->sendNewNumber(number);
    return true;
}

bool Session::sendSwitch(const std::string& device, const std::string& property, const std::string& element) {
    PropertyCopy copy;
    {
        std::lock_guard lock(m_shared->mutex);
        const DeviceCopy* found = m_shared->state.device(device);
        const PropertyCopy* stored = found ? found->property(property) : nullptr;
        if (!stored || stored->type != INDI_SWITCH || !stored->element(element))
            return false;
        copy = *stored;
    }
    // One of many: the chosen switch on, every other off.
    INDI::PropertySwitch vector(copy.elements.size());
    vector.setDeviceName(device.c_str());
    vector.setName(property);
    for (size_t i = 0; i < copy.elements.size(); ++i) {
        vector[i].setName(copy.elements[i].name);
        vector[i].setState(copy.elements[i].name == element ? ISS_ON : ISS_OFF);
    }
    m_client->sendNewSwitch(vector);
    return true;
}

std::string tcpProblem(const std::string& host, int port, std::chrono::milliseconds timeout) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (const int failed = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses))
        return ::gai_strerror(failed);
    int error = ETIMEDOUT;
    const auto deadline = Clock::now() + timeout;
    for (const addrinfo* address = addresses; address && Clock::now() < deadline;
         address = address->ai_next) {
        const int fd =
            ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK, address->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0) {
            error = 0;
        } else if (errno != EINPROGRESS) {
            error = errno;
        } else {
            pollfd waiting{fd, POLLOUT, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const int ready = ::poll(&waiting, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            socklen_t length = sizeof error;
            if (ready <= 0)
                error = ETIMEDOUT;
            else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
        ::close(fd);
        if (error == 0)
            break;
    }
    ::freeaddrinfo(addresses);
    return error == 0 ? std::string() : std::string(std::strerror(error));
}

} // namespace brivane::indi
