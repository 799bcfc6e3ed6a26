#pragma once

#include <chrono>
#include <functional>

namespace brivane {

// One pending one-shot timer of libindi's event loop; start() replaces it, stop() cancels it.
// libindi frees a timer only after its callback returns and would free a node removed from inside
// that callback twice, so a firing timer forgets its id before it calls back.
class EventTimer {
public:
    explicit EventTimer(std::function<void()> onTimeout);
    ~EventTimer();
    EventTimer(const EventTimer&) = delete;
    EventTimer& operator=(const EventTimer&) = delete;

    void start(std::chrono::milliseconds delay);
    void stop();
    bool isActive() const { return m_id != 0; }

private:
    static void fire(void* timer);

    std::function<void()> m_onTimeout;
    int m_id = 0; // libindi's ids start at 1
};

} // namespace brivane
