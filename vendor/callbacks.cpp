// Dispatch of callback frames: each callback name and the record it fills.
#include "callbacks.h"

#include <cstring>

namespace traderlib {
namespace {

using Spi = CThostFtdcTraderSpi;
using RspInfo = CThostFtdcRspInfoField;

// The data record of a frame; `present` is false when has_data is 0.
template <class R> struct Data {
    R record;
    bool present;

    explicit Data(const Message &m) : present(m.has_data) {
        std::memset(&record, 0, sizeof record);
        if (present) fill_record(record_desc<R>(), m.fields, &record);
    }
    R *get() { return present ? &record : nullptr; }
};

// The response information of a frame's header; null when has_rsp_info is 0.
struct Info {
    RspInfo record;
    bool present;

    explicit Info(const Message &m) : present(m.has_rsp_info) { fill_rsp_info(m, record); }
    RspInfo *get() { return present ? &record : nullptr; }
};

// Responses to requests: record, response information, request id, is-last.
template <class R, void (Spi::*M)(R *, RspInfo *, int, bool)>
void response(Spi &spi, const Message &m) {
    Data<R> data(m);
    Info info(m);
    (spi.*M)(data.get(), info.get(), m.request_id, m.is_last);
}

// Returns: the record alone, no request id.
template <class R, void (Spi::*M)(R *)>
void notice(Spi &spi, const Message &m) {
    Data<R> data(m);
    (spi.*M)(data.get());
}

// Error returns: the record and the response information, no request id.
template <class R, void (Spi::*M)(R *, RspInfo *)>
void error_notice(Spi &spi, const Message &m) {
    Data<R> data(m);
    Info info(m);
    (spi.*M)(data.get(), info.get());
}

// The response information is the record of this callback.
void response_error(Spi &spi, const Message &m) {
    Info info(m);
    spi.OnRspError(info.get(), m.request_id, m.is_last);
}

struct Entry {
    std::string_view name;
    Invoker invoke;
};

constexpr Entry kCallbacks[] = {
    {"OnRspAuthenticate", response<CThostFtdcRspAuthenticateField, &Spi::OnRspAuthenticate>},
    {"OnRspUserLogin", response<CThostFtdcRspUserLoginField, &Spi::OnRspUserLogin>},
    {"OnRspOrderInsert", response<CThostFtdcInputOrderField, &Spi::OnRspOrderInsert>},
    {"OnRspOrderAction", response<CThostFtdcInputOrderActionField, &Spi::OnRspOrderAction>},
    {"OnRspSettlementInfoConfirm",
     response<CThostFtdcSettlementInfoConfirmField, &Spi::OnRspSettlementInfoConfirm>},
    {"OnRspQryOrder", response<CThostFtdcOrderField, &Spi::OnRspQryOrder>},
    {"OnRspQryTrade", response<CThostFtdcTradeField, &Spi::OnRspQryTrade>},
    {"OnRspQryInvestorPosition", response<CThostFtdcInvestorPositionField, &Spi::OnRspQryInvestorPosition>},
    {"OnRspQryTradingAccount", response<CThostFtdcTradingAccountField, &Spi::OnRspQryTradingAccount>},
    {"OnRspQryInstrument", response<CThostFtdcInstrumentField, &Spi::OnRspQryInstrument>},
    {"OnRspError", response_error},
    {"OnRtnOrder", notice<CThostFtdcOrderField, &Spi::OnRtnOrder>},
    {"OnRtnTrade", notice<CThostFtdcTradeField, &Spi::OnRtnTrade>},
    {"OnErrRtnOrderInsert", error_notice<CThostFtdcInputOrderField, &Spi::OnErrRtnOrderInsert>},
    {"OnErrRtnOrderAction", error_notice<CThostFtdcOrderActionField, &Spi::OnErrRtnOrderAction>},
};

}  // namespace

Invoker find_callback(std::string_view name) {
    for (const Entry &e : kCallbacks)
        if (e.name == name) return e.invoke;
    return nullptr;
}

}  // namespace traderlib
