// The per-tracker frame clock: whether the tracker has been locked, the steady-clock time
// the next measured frame interval counts from, and the number of updates since the lock.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>

namespace molvane {

// Shortest frame interval handed to the engine, in seconds.
inline constexpr double kMinFrameInterval = 0.0001;

inline std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct FrameClock {
    bool locked = false;
    std::int64_t lastTime = 0;
    std::int32_t frameCount = 0;

    // A successful lock (re)starts the clock at `now` and the frame numbering at 0.
    void restart(std::int64_t now) {
        locked = true;
        lastTime = now;
        frameCount = 0;
    }

    // The interval to hand to the engine for the caller's `dt`. A dt of 0 or less (or -inf)
    // asks for a measurement: `readNow` is called once and the clock moves on. A positive dt
    // is taken as given and the clock is not read. NaN and +inf are passed through
    // unchanged, without reading the clock, for the engine to refuse: flooring NaN would
    // turn a caller's bad arithmetic into a 0.1 ms frame and absurd speeds.
    template <class ReadNow>
    double interval(double dt, ReadNow&& readNow) {
        if (dt <= 0.0) {
            const std::int64_t now = readNow();
            dt = static_cast<double>(now - lastTime) / 1e9;
            lastTime = now;
        }
        if (std::isnan(dt)) return dt;
        return dt > kMinFrameInterval ? dt : kMinFrameInterval;
    }

    double interval(double dt) { return interval(dt, steadyNowNs); }

    // The number the current update reports; counting on wraps instead of overflowing after
    // 2^31 updates.
    std::int32_t takeFrameNumber() {
        const std::int32_t current = frameCount;
        frameCount = static_cast<std::int32_t>(static_cast<std::uint32_t>(frameCount) + 1u);
        return current;
    }
};

}  // namespace molvane
