#include "indi_driver/event_timer.h"

#include <indidevapi.h>

#include <utility>

namespace brivane {

EventTimer::EventTimer(std::function<void()> onTimeout) : m_onTimeout(std::move(onTimeout)) {}

EventTimer::~EventTimer() {
    stop();
}

void EventTimer::start(std::chrono::milliseconds delay) {
    stop();
    m_id = IEAddTimer(static_cast<int>(delay.count()), &EventTimer::fire, this);
}

void EventTimer::stop() {
    if (m_id != 0)
        IERmTimer(m_id);
    m_id = 0;
}

void EventTimer::fire(void* timer) {
    auto* self = static_cast<EventTimer*>(timer);
    self->m_id = 0;
    self->m_onTimeout();
}

} // namespace brivane
