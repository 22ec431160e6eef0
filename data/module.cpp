// Module `torvo.data`: the package's exception type and value checks,
// market-data message decoding, quote snapshots and K-line series.
#include <nanobind/nanobind.h>

#include "data.h"

namespace nb = nanobind;

namespace torvo::data {
namespace {

const char *const kColumnNames[kColumns] = {
    "timestamp", "trading_day", "open",     "high",          "low",
    "close",     "volume",      "turnover", "open_interest",
};

const char *const kPeriods[] = {"1m", "5m", "10m", "15m", "30m", "1h", "4h", "1d"};

Names g_names;

bool init_names() {
    for (int i = 0; i < kColumns; ++i)
        if (!g_names.column[i].init(kColumnNames[i])) return false;
    return g_names.bids.init("bids") && g_names.asks.init("asks");
}

void check(bool ok) {
    if (!ok) throw nb::python_error();
}

}  // namespace

const Names &names() { return g_names; }

bool make_text(Ref &slot, const char *utf8) {
    if (!slot) slot = Ref::steal(PyUnicode_FromString(utf8));
    return static_cast<bool>(slot);
}

}  // namespace torvo::data

NB_MODULE(data, m) {
    using namespace torvo::data;
    m.doc() = "Wire conversion and local market data objects.";
    check(init_names());
    check(init_errors(m.ptr()));
    check(init_values(m.ptr()));
    check(init_decode(m.ptr()));
    check(init_quote(m.ptr()));

    nb::list columns;
    for (const auto &name : g_names.column) columns.append(nb::handle(name.get()));
    m.attr("BAR_COLUMNS") = columns;
    nb::list periods;
    for (const char *period : kPeriods) periods.append(nb::str(period));
    m.attr("KLINE_PERIODS") = nb::frozenset(periods);

    init_serial(m);
}
