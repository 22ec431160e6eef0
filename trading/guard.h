// The guard: the session's limits on orders and cancels (a TradingGuard),
// the pause, and the counts of the trading day per symbol.
//
// Counts per symbol follow the books: `orders` (every order in the books:
// the login snapshot's and each one added since), `cancelled` (orders that
// ended CANCELLED), `trades` (trades in the books); they start again with
// the books at every reconnection.  `cancels` is the count the cancel limit
// reads: the orders CANCELLED in the books when the session became READY,
// plus the cancels the session sent since.  `refused` (the guard's
// refusals) and the memory of the rate and repeat limits belong to the
// session and start again when the trading day changes.
//
// The working orders by symbol, one index a side (`working_` for buys,
// `working_sell_` for sells: symbol -> {order id: child}), are added as the
// books add them and dropped as the books finish them (index_drop), or when
// a read finds them finished or gone; the books' rebuild clears them.  The
// self-trade check reads the other side's orders of the one symbol only.
#pragma once

#include <deque>
#include <vector>

namespace torvo::trading {

// A TradingGuard's values; -1 is "no limit".
struct GuardLimits {
    bool on = false;  // a TradingGuard is set
    bool self_trade = false;
    long long max_cancels = -1, max_rate = -1, max_lots = -1, repeat_ms = -1;
    // warning thresholds, in the order of GuardCounts' counts
    long long warn[5] = {-1, -1, -1, -1, -1};
};

// The counts of one symbol.
struct GuardCounts {
    long long orders = 0, cancels_sent = 0, cancels_base = 0, cancelled = 0, trades = 0, refused = 0;
    long long cancels() const { return cancels_base + cancels_sent; }
};

// The counts that follow the books start again with them (a reconnection);
// the refusals stay.
void keep_refusals(std::vector<GuardCounts> &counts);

}  // namespace torvo::trading
