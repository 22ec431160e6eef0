// Admission of query requests at the rate the front announced.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>

namespace traderlib {

// At most `rate` queries in any window of one second (0: no limit).  Only
// admitted queries count towards the window.
class QueryLimiter {
public:
    using Clock = std::chrono::steady_clock;

    void reset(int rate) {
        rate_ = rate > 0 ? static_cast<std::size_t>(rate) : 0;
        sent_.clear();
    }

    bool admit(Clock::time_point now) {
        if (rate_ == 0) return true;
        while (!sent_.empty() && now - sent_.front() >= std::chrono::seconds(1)) sent_.pop_front();
        if (sent_.size() >= rate_) return false;
        sent_.push_back(now);
        return true;
    }

private:
    std::size_t rate_ = 1;
    std::deque<Clock::time_point> sent_;
};

}  // namespace traderlib
