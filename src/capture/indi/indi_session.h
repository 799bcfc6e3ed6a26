#pragma once

// One client connection to an INDI server. libindi updates its own property objects on its socket
// thread without a lock, so only that thread reads them: the callbacks copy what arrives into a
// ServerState under the session's mutex, and the window's thread reads those copies and sends
// property objects of its own.

#include <QString>

#include <libindi/indiapi.h>
#include <libindi/indibasetypes.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brivane::indi {

using Clock = std::chrono::steady_clock;

struct ElementCopy {
    std::string name;
    double value = 0; // numbers
    double min = 0;
    double max = 0;
    ISState state = ISS_OFF; // switches
    std::string text;        // texts
};

struct PropertyCopy {
    INDI_PROPERTY_TYPE type = INDI_UNKNOWN;
    IPState state = IPS_IDLE;
    std::vector<ElementCopy> elements;
    unsigned updates = 0; // definitions and updates received

    const ElementCopy* element(std::string_view name) const;
    const ElementCopy* onSwitch() const; // the first switch that is on
};

struct DeviceCopy {
    unsigned interfaces = 0; // DRIVER_INFO's DRIVER_INTERFACE
    std::map<std::string, PropertyCopy, std::less<>> properties;
    std::string lastMessage;

    const PropertyCopy* property(std::string_view name) const;
    bool connected() const; // CONNECTION reports CONNECT, and OK
    bool connectionFailed() const;
};

// Everything the server has told this client, as copies.
struct ServerState {
    std::vector<std::string> deviceOrder; // as the server listed them
    std::map<std::string, DeviceCopy, std::less<>> devices;
    Clock::time_point lastDeviceNews{};
    bool lost = false;
    // The camera whose images this client receives: the one asked for, else the first device that
    // says it is a camera.
    std::string camera;
    // The next image of the camera, wanted from the moment an exposure is sent.
    bool expectingImage = false;
    bool imageArrived = false;
    std::string image;
    std::string imageFormat;

    const DeviceCopy* device(std::string_view name) const;
};

class Client;

class Session {
public:
    // camera: the camera's device name, empty for the first camera the server lists.
    Session(std::string host, int port, std::string camera);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Connects, keeping the window's events running meanwhile. Empty on success, else the reason
    // (the system's text for a refused or unreachable server). Once only per session.
    QString connect(std::chrono::milliseconds timeout);

    // f(const ServerState&) under the mutex.
    template <class F> auto read(F&& f) const {
        std::lock_guard lock(m_shared->mutex);
        return f(std::as_const(m_shared->state));
    }
    // f(ServerState&) under the mutex.
    template <class F> auto modify(F&& f) {
        std::lock_guard lock(m_shared->mutex);
        return f(m_shared->state);
    }
    bool lost() const {
        return read([](const ServerState& state) { return state.lost; });
    }

    // Keeps the window alive until done(state) holds, the server is lost or timeout has passed;
    // whether done holds. Throws ProgramEnding like every wait.
    bool waitFor(const std::function<bool(const ServerState&)>& done, std::chrono::milliseconds timeout);

    // Send the property as last copied with the given elements changed; false when the device
    // has no such property or element.
    bool sendNumber(const std::string& device, const std::string& property,
                    const std::vector<std::pair<std::string, double>>& values);
    bool sendSwitch(const std::string& device, const std::string& property, const std::string& element);

    QString server() const;

    struct Shared {
        mutable std::mutex mutex;
        ServerState state;
    };

private:
    std::string m_host;
    int m_port;
    std::shared_ptr<Shared> m_shared;
    std::shared_ptr<Client> m_client;
    bool m_connected = false;
};

// Why a TCP connection to host:port cannot be made, in the system's words; empty when it can.
std::string tcpProblem(const std::string& host, int port, std::chrono::milliseconds timeout);

} // namespace brivane::indi
