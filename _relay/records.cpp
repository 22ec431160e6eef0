// The record tables and the two conversions between vendor records and
// Python dictionaries.
#include "records.h"

#include <climits>
#include <cstring>

#include "common/ref.h"

namespace torvo::relay {

#define TEXT(R, N) TORVO_RELAY_FIELD(R, N, Text)
#define CHAR(R, N) TORVO_RELAY_FIELD(R, N, Char)
#define INT(R, N) TORVO_RELAY_FIELD(R, N, Int)
#define FLOAT(R, N) TORVO_RELAY_FIELD(R, N, Float)

namespace {

template <class Record, std::size_t N>
constexpr RecordLayout<Record> layout(Field (&fields)[N]) {
    return {{std::span<Field>(fields), sizeof(Record)}};
}

// ---------------------------------------------------------------------------
// Callback records
// ---------------------------------------------------------------------------

using RspInfo = CThostFtdcRspInfoField;
Field rsp_info[] = {INT(RspInfo, ErrorID), TEXT(RspInfo, ErrorMsg)};

using RspAuth = CThostFtdcRspAuthenticateField;
Field rsp_authenticate[] = {TEXT(RspAuth, BrokerID), TEXT(RspAuth, UserID), TEXT(RspAuth, AppID)};

using RspLogin = CThostFtdcRspUserLoginField;
Field rsp_user_login[] = {TEXT(RspLogin, TradingDay), INT(RspLogin, FrontID), INT(RspLogin, SessionID),
                          TEXT(RspLogin, MaxOrderRef)};

using Confirm = CThostFtdcSettlementInfoConfirmField;
Field rsp_settlement_info_confirm[] = {TEXT(Confirm, BrokerID), TEXT(Confirm, InvestorID)};

using Order = CThostFtdcOrderField;
Field order[] = {
    TEXT(Order, TradingDay),      TEXT(Order, ExchangeID),         TEXT(Order, InstrumentID),
    TEXT(Order, OrderSysID),      TEXT(Order, OrderRef),           INT(Order, FrontID),
    INT(Order, SessionID),        CHAR(Order, Direction),          TEXT(Order, CombOffsetFlag),
    TEXT(Order, CombHedgeFlag),   FLOAT(Order, LimitPrice),        INT(Order, VolumeTotalOriginal),
    INT(Order, VolumeTraded),     INT(Order, VolumeTotal),         CHAR(Order, OrderStatus),
    CHAR(Order, OrderSubmitStatus), TEXT(Order, StatusMsg),        TEXT(Order, InsertDate),
    TEXT(Order, InsertTime),
};

using Trade = CThostFtdcTradeField;
Field trade[] = {
    TEXT(Trade, TradingDay), TEXT(Trade, ExchangeID), TEXT(Trade, InstrumentID), TEXT(Trade, OrderSysID),
    TEXT(Trade, OrderRef),   TEXT(Trade, TradeID),    CHAR(Trade, Direction),    CHAR(Trade, OffsetFlag),
    CHAR(Trade, HedgeFlag),  FLOAT(Trade, Price),     INT(Trade, Volume),        TEXT(Trade, TradeDate),
    TEXT(Trade, TradeTime),
};

using Position = CThostFtdcInvestorPositionField;
Field investor_position[] = {
    TEXT(Position, TradingDay),     TEXT(Position, ExchangeID),  TEXT(Position, InstrumentID),
    CHAR(Position, HedgeFlag),      CHAR(Position, PosiDirection), CHAR(Position, PositionDate),
    INT(Position, Position),        INT(Position, TodayPosition), INT(Position, YdPosition),
    INT(Position, LongFrozen),      INT(Position, ShortFrozen),  FLOAT(Position, PositionProfit),
    FLOAT(Position, UseMargin),
};

using Funds = CThostFtdcTradingAccountField;
Field trading_account[] = {
    TEXT(Funds, AccountID),     TEXT(Funds, CurrencyID),     TEXT(Funds, TradingDay),
    FLOAT(Funds, Balance),      FLOAT(Funds, Available),     FLOAT(Funds, CurrMargin),
    FLOAT(Funds, FrozenMargin), FLOAT(Funds, Commission),    FLOAT(Funds, FrozenCommission),
    FLOAT(Funds, CloseProfit),  FLOAT(Funds, PositionProfit), FLOAT(Funds, Deposit),
    FLOAT(Funds, Withdraw),
};

using Instrument = CThostFtdcInstrumentField;
Field instrument[] = {
    TEXT(Instrument, ExchangeID),         TEXT(Instrument, InstrumentID), CHAR(Instrument, ProductClass),
    INT(Instrument, IsTrading),           FLOAT(Instrument, PriceTick),   INT(Instrument, MinLimitOrderVolume),
    INT(Instrument, MaxLimitOrderVolume),
};

using InputOrder = CThostFtdcInputOrderField;
Field input_order_reply[] = {TEXT(InputOrder, InstrumentID), TEXT(InputOrder, ExchangeID),
                             TEXT(InputOrder, OrderRef)};

using InputAction = CThostFtdcInputOrderActionField;
Field input_order_action_reply[] = {TEXT(InputAction, InstrumentID), TEXT(InputAction, ExchangeID),
                                    TEXT(InputAction, OrderSysID)};

using OrderAction = CThostFtdcOrderActionField;
Field order_action_reply[] = {TEXT(OrderAction, InstrumentID), TEXT(OrderAction, ExchangeID),
                              TEXT(OrderAction, OrderSysID)};

// ---------------------------------------------------------------------------
// Request records (read from the request dictionary in this order)
// ---------------------------------------------------------------------------

using ReqAuth = CThostFtdcReqAuthenticateField;
Field req_authenticate[] = {TEXT(ReqAuth, BrokerID), TEXT(ReqAuth, UserID), TEXT(ReqAuth, AuthCode),
                            TEXT(ReqAuth, AppID)};

using ReqLogin = CThostFtdcReqUserLoginField;
Field req_user_login[] = {TEXT(ReqLogin, BrokerID), TEXT(ReqLogin, UserID), TEXT(ReqLogin, Password)};

Field req_settlement_info_confirm[] = {TEXT(Confirm, BrokerID), TEXT(Confirm, InvestorID),
                                       TEXT(Confirm, CurrencyID)};

using QryOrder = CThostFtdcQryOrderField;
Field req_qry_order[] = {TEXT(QryOrder, BrokerID), TEXT(QryOrder, InvestorID), TEXT(QryOrder, ExchangeID),
                         TEXT(QryOrder, OrderSysID), TEXT(QryOrder, InstrumentID)};

using QryTrade = CThostFtdcQryTradeField;
Field req_qry_trade[] = {TEXT(QryTrade, BrokerID), TEXT(QryTrade, InvestorID), TEXT(QryTrade, ExchangeID),
                         TEXT(QryTrade, InstrumentID)};

using QryPosition = CThostFtdcQryInvestorPositionField;
Field req_qry_investor_position[] = {TEXT(QryPosition, BrokerID), TEXT(QryPosition, InvestorID),
                                     TEXT(QryPosition, ExchangeID), TEXT(QryPosition, InstrumentID)};

using QryFunds = CThostFtdcQryTradingAccountField;
Field req_qry_trading_account[] = {TEXT(QryFunds, BrokerID), TEXT(QryFunds, InvestorID),
                                   TEXT(QryFunds, CurrencyID)};

using QryInstrument = CThostFtdcQryInstrumentField;
Field req_qry_instrument[] = {TEXT(QryInstrument, ExchangeID), TEXT(QryInstrument, InstrumentID)};

Field req_order_insert[] = {
    TEXT(InputOrder, BrokerID),          TEXT(InputOrder, InvestorID),       TEXT(InputOrder, OrderRef),
    TEXT(InputOrder, UserID),            CHAR(InputOrder, OrderPriceType),   CHAR(InputOrder, Direction),
    TEXT(InputOrder, CombOffsetFlag),    TEXT(InputOrder, CombHedgeFlag),    FLOAT(InputOrder, LimitPrice),
    INT(InputOrder, VolumeTotalOriginal), CHAR(InputOrder, TimeCondition),   CHAR(InputOrder, VolumeCondition),
    INT(InputOrder, MinVolume),          CHAR(InputOrder, ContingentCondition), CHAR(InputOrder, ForceCloseReason),
    INT(InputOrder, IsAutoSuspend),      INT(InputOrder, UserForceClose),    TEXT(InputOrder, ExchangeID),
    TEXT(InputOrder, CurrencyID),        TEXT(InputOrder, InstrumentID),
};

Field req_order_action[] = {
    TEXT(InputAction, BrokerID),   TEXT(InputAction, InvestorID), TEXT(InputAction, ExchangeID),
    TEXT(InputAction, OrderSysID), CHAR(InputAction, ActionFlag), FLOAT(InputAction, LimitPrice),
    TEXT(InputAction, UserID),     TEXT(InputAction, InstrumentID),
};

}  // namespace

const RecordLayout<CThostFtdcRspInfoField> kRspInfo = layout<RspInfo>(rsp_info);
const RecordLayout<CThostFtdcRspAuthenticateField> kRspAuthenticate = layout<RspAuth>(rsp_authenticate);
const RecordLayout<CThostFtdcRspUserLoginField> kRspUserLogin = layout<RspLogin>(rsp_user_login);
const RecordLayout<CThostFtdcSettlementInfoConfirmField> kRspSettlementInfoConfirm =
    layout<Confirm>(rsp_settlement_info_confirm);
const RecordLayout<CThostFtdcOrderField> kOrder = layout<Order>(order);
const RecordLayout<CThostFtdcTradeField> kTrade = layout<Trade>(trade);
const RecordLayout<CThostFtdcInvestorPositionField> kInvestorPosition = layout<Position>(investor_position);
const RecordLayout<CThostFtdcTradingAccountField> kTradingAccount = layout<Funds>(trading_account);
const RecordLayout<CThostFtdcInstrumentField> kInstrument = layout<Instrument>(instrument);
const RecordLayout<CThostFtdcInputOrderField> kInputOrderReply = layout<InputOrder>(input_order_reply);
const RecordLayout<CThostFtdcInputOrderActionField> kInputOrderActionReply =
    layout<InputAction>(input_order_action_reply);
const RecordLayout<CThostFtdcOrderActionField> kOrderActionReply = layout<OrderAction>(order_action_reply);

const RecordLayout<CThostFtdcReqAuthenticateField> kReqAuthenticate = layout<ReqAuth>(req_authenticate);
const RecordLayout<CThostFtdcReqUserLoginField> kReqUserLogin = layout<ReqLogin>(req_user_login);
const RecordLayout<CThostFtdcSettlementInfoConfirmField> kReqSettlementInfoConfirm =
    layout<Confirm>(req_settlement_info_confirm);
const RecordLayout<CThostFtdcQryOrderField> kReqQryOrder = layout<QryOrder>(req_qry_order);
const RecordLayout<CThostFtdcQryTradeField> kReqQryTrade = layout<QryTrade>(req_qry_trade);
const RecordLayout<CThostFtdcQryInvestorPositionField> kReqQryInvestorPosition =
    layout<QryPosition>(req_qry_investor_position);
const RecordLayout<CThostFtdcQryTradingAccountField> kReqQryTradingAccount =
    layout<QryFunds>(req_qry_trading_account);
const RecordLayout<CThostFtdcQryInstrumentField> kReqQryInstrument = layout<QryInstrument>(req_qry_instrument);
const RecordLayout<CThostFtdcInputOrderField> kReqOrderInsert = layout<InputOrder>(req_order_insert);
const RecordLayout<CThostFtdcInputOrderActionField> kReqOrderAction = layout<InputAction>(req_order_action);

#undef TEXT
#undef CHAR
#undef INT
#undef FLOAT

namespace {

const Layout *const all_layouts[] = {
    &kRspInfo,         &kRspAuthenticate,        &kRspUserLogin,          &kRspSettlementInfoConfirm,
    &kOrder,           &kTrade,                  &kInvestorPosition,      &kTradingAccount,
    &kInstrument,      &kInputOrderReply,        &kInputOrderActionReply, &kOrderActionReply,
    &kReqAuthenticate, &kReqUserLogin,           &kReqSettlementInfoConfirm, &kReqQryOrder,
    &kReqQryTrade,     &kReqQryInvestorPosition, &kReqQryTradingAccount,  &kReqQryInstrument,
    &kReqOrderInsert,  &kReqOrderAction,
};

// The GB18030 codec functions, looked up once.  Like the interned keys they
// live for the rest of the process and are never released.
PyObject *gb18030_encode = nullptr;
PyObject *gb18030_decode = nullptr;
Interned strict_word;
Interned replace_word;

constexpr const char kNotText[] = " 必须是字符串";
constexpr const char kUnencodable[] = " 包含 CTP 不支持的字符";
constexpr const char kTooLong[] = " 超出 CTP 字段长度或包含 NUL 字符";

// Raises `type` with the field name followed by `suffix` (UTF-8).  The
// format itself stays ASCII, as the host's formatter requires.
bool fail(PyObject *type, const Field &field, const char *suffix) noexcept {
    PyErr_Format(type, "%s%s", field.name, suffix);
    return false;
}

bool is_ascii(const char *bytes, std::size_t length) noexcept {
    for (std::size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(bytes[i]) >= 0x80) return false;
    }
    return true;
}

// Borrowed first item of a codec result, which must be a 2-tuple whose first
// item passes `check`.
PyObject *codec_output(PyObject *result, int (*check)(PyObject *), const char *message) noexcept {
    if (!PyTuple_Check(result) || PyTuple_GET_SIZE(result) != 2 || !check(PyTuple_GET_ITEM(result, 0))) {
        PyErr_SetString(PyExc_TypeError, message);
        return nullptr;
    }
    return PyTuple_GET_ITEM(result, 0);
}

int unicode_check(PyObject *o) { return PyUnicode_Check(o); }
int bytes_check(PyObject *o) { return PyBytes_Check(o); }

PyObject *to_python(const Field &field, const unsigned char *at) noexcept {
    switch (field.kind) {
    case Kind::Text:
        return decode_text(reinterpret_cast<const char *>(at), field.size);
    case Kind::Char:
        return PyUnicode_FromOrdinal(*at);
    case Kind::Int: {
        int value;
        std::memcpy(&value, at, sizeof value);
        return PyLong_FromLong(value);
    }
    case Kind::Float: {
        double value;
        std::memcpy(&value, at, sizeof value);
        return PyFloat_FromDouble(value);
    }
    }
    PyErr_SetString(PyExc_SystemError, "unknown field kind");
    return nullptr;
}

bool store_text(const Field &field, PyObject *value, unsigned char *at) noexcept {
    if (!PyUnicode_Check(value)) return fail(PyExc_TypeError, field, kNotText);
    const std::size_t limit = field.kind == Kind::Text ? field.size - 1u : 1u;

    const char *bytes;
    std::size_t length;
    Ref encoded;
    if (PyUnicode_IS_ASCII(value)) {
        // ASCII is its own GB18030 encoding.
        bytes = static_cast<const char *>(PyUnicode_DATA(value));
        length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
    } else {
        encoded = Ref::steal(PyObject_CallFunctionObjArgs(gb18030_encode, value, strict_word.get(), nullptr));
        if (!encoded) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
            PyErr_Clear();
            return fail(PyExc_ValueError, field, kUnencodable);
        }
        PyObject *out = codec_output(encoded.get(), bytes_check, "encoder did not return a bytes object");
        if (out == nullptr) return false;
        bytes = PyBytes_AS_STRING(out);
        length = static_cast<std::size_t>(PyBytes_GET_SIZE(out));
    }
    if (length > limit || std::memchr(bytes, 0, length) != nullptr) {
        return fail(PyExc_ValueError, field, kTooLong);
    }
    std::memcpy(at, bytes, length);
    return true;
}

bool store_int(PyObject *value, unsigned char *at) noexcept {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) return false;
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (wide == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow > 0 || wide > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
        return false;
    }
    if (overflow < 0 || wide < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
        return false;
    }
    const int narrow = static_cast<int>(wide);
    std::memcpy(at, &narrow, sizeof narrow);
    return true;
}

bool store_float(PyObject *value, unsigned char *at) noexcept {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) return false;
    std::memcpy(at, &number, sizeof number);
    return true;
}

}  // namespace

bool init_records() noexcept {
    for (const Layout *layout : all_layouts) {
        for (Field &field : layout->fields) {
            if (!field.key.init(field.name)) return false;
        }
    }
    if (!strict_word.init("strict") || !replace_word.init("replace")) return false;
    if (gb18030_encode == nullptr) {
        gb18030_encode = PyCodec_Encoder("gb18030");
        if (gb18030_encode == nullptr) return false;
    }
    if (gb18030_decode == nullptr) {
        gb18030_decode = PyCodec_Decoder("gb18030");
        if (gb18030_decode == nullptr) return false;
    }
    return true;
}

PyObject *decode_text(const char *buffer, std::size_t size) noexcept {
    const void *nul = std::memchr(buffer, 0, size);
    const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - buffer) : size;
    if (is_ascii(buffer, length)) {
        return PyUnicode_DecodeASCII(buffer, static_cast<Py_ssize_t>(length), nullptr);
    }
    Ref raw = Ref::steal(PyBytes_FromStringAndSize(buffer, static_cast<Py_ssize_t>(length)));
    if (!raw) return nullptr;
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(gb18030_decode, raw.get(), replace_word.get(), nullptr));
    if (!result) return nullptr;
    PyObject *text = codec_output(result.get(), unicode_check, "decoder did not return a str object");
    return text ? Py_NewRef(text) : nullptr;
}

PyObject *record_to_dict(const Layout &layout, const unsigned char *record) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const Field &field : layout.fields) {
        Ref value = Ref::steal(to_python(field, record + field.offset));
        if (!value || PyDict_SetItem(dict.get(), field.key, value.get()) < 0) return nullptr;
    }
    return dict.release();
}

bool dict_to_record(const Layout &layout, PyObject *fields, unsigned char *record) noexcept {
    for (const Field &field : layout.fields) {
        PyObject *found = PyDict_GetItemWithError(fields, field.key);
        if (found == nullptr) {
            if (PyErr_Occurred()) return false;
            continue;
        }
        // Hold the value: a conversion hook may run arbitrary code that
        // drops the dictionary's own reference.
        Ref value = Ref::borrow(found);
        unsigned char *at = record + field.offset;
        bool ok;
        switch (field.kind) {
        case Kind::Text:
        case Kind::Char:
            ok = store_text(field, value.get(), at);
            break;
        case Kind::Int:
            ok = store_int(value.get(), at);
            break;
        case Kind::Float:
            ok = store_float(value.get(), at);
            break;
        default:
            PyErr_SetString(PyExc_SystemError, "unknown field kind");
            ok = false;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace torvo::relay
