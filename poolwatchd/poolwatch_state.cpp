#include "poolwatch_state.h"

void wakeup::kick() {
    std::lock_guard guard(lock);
    kicked = true;
    cv.notify_all();
}

void wakeup::sleep_until(std::chrono::system_clock::time_point deadline) {
    std::unique_lock guard(lock);
    cv.wait_until(guard, deadline, [&] { return kicked; });
    kicked = false;
}

void wakeup::sleep_for(std::chrono::seconds length) {
    sleep_until(std::chrono::system_clock::now() + length);
}

poolwatch_daemon &pw() {
    static poolwatch_daemon daemon;
    return daemon;
}

poolwatch_config poolwatch_config_copy() {
    poolwatch_daemon &d = pw();
    std::lock_guard guard(d.config_lock);
    return d.config;
}

void poolwatch_set_config(const poolwatch_config &cfg) {
    poolwatch_daemon &d = pw();
    std::lock_guard guard(d.config_lock);
    d.config = cfg;
}
