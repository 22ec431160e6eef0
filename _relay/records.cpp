// The record tables and the two conversions between vendor records and
// Python dictionaries.
#include "records.h"

#include <climits>
#include <cstring>

#include "common/errors.h"
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

// `type` with the field name followed by `suffix` (UTF-8), set; false.  The
// format itself stays ASCII, as the host's formatter requires.
bool fail(PyObject *type, const Field &field, const char *suffix) noexcept {
    return errors::set_error(type, "%s%s", field.name, suffix);
}

// Borrowed first item of a codec result, which must be a 2-tuple whose first
// item passes `check`.
PyObject *codec_output(PyObject *result, int (*check)(PyObject *), const char *message) noexcept {
    if (!PyTuple_Check(result) || PyTuple_GET_SIZE(result) != 2 || !check(PyTuple_GET_ITEM(result, 0)))
        return errors::set_error(PyExc_TypeError, message);
    return PyTuple_GET_ITEM(result, 0);
}

int unicode_check(PyObject *o) { return PyUnicode_Check(o); }
int bytes_check(PyObject *o) { return PyBytes_Check(o); }

// Recently decoded texts.  Most text fields of a stream of events come from
// a small vocabulary (trading day, exchange, instrument, dates, status and
// error messages), so a repeated text costs a hash and a compare instead of a
// new string (and, for non-ASCII text, a bytes object, a codec call and its
// result tuple).  Both tables are direct-mapped: a newer text replaces the one
// in its slot, so texts that never repeat cost one slot write.  Only touched
// with the interpreter lock held; the strings are immutable, so sharing them
// is safe, and they live as long as the process.
constexpr std::size_t kAsciiSlots = 1024;
PyObject *ascii_cache[kAsciiSlots];  // owned exact strs, compared by content

constexpr std::size_t kTextSlots = 256;
constexpr std::size_t kCachedBytes = 96;  // longer texts bypass the cache (no field is this long)

struct CachedText {
    PyObject *text;  // owned; null while the slot is empty
    std::uint8_t length;
    char bytes[kCachedBytes];  // the GB18030 bytes it was decoded from
};
CachedText text_cache[kTextSlots];

std::size_t slot_of(std::uint64_t hash, std::size_t slots) noexcept {
    return static_cast<std::size_t>(hash >> 40) & (slots - 1);
}

// Puts `text` (a new reference, kept by the caller too) into `slot`.
void keep(PyObject *&slot, PyObject *text) noexcept {
    PyObject *old = slot;
    slot = Py_NewRef(text);
    Py_XDECREF(old);  // a str: frees memory, runs no code
}

// New str of `length` ASCII bytes (at least two).
PyObject *decode_ascii(const char *bytes, std::size_t length, std::uint64_t hash) noexcept {
    PyObject *&slot = ascii_cache[slot_of(hash, kAsciiSlots)];
    if (slot != nullptr && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == length &&
        std::memcmp(PyUnicode_1BYTE_DATA(slot), bytes, length) == 0) {
        return Py_NewRef(slot);
    }
    PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (text == nullptr) return nullptr;
    std::memcpy(PyUnicode_1BYTE_DATA(text), bytes, length);
    keep(slot, text);
    return text;
}

// New str of `length` GB18030 bytes (not all ASCII), undecodable bytes
// replaced.
PyObject *decode_gb18030(const char *bytes, std::size_t length, std::uint64_t hash) noexcept {
    CachedText *slot = nullptr;
    if (length <= kCachedBytes) {
        slot = &text_cache[slot_of(hash, kTextSlots)];
        if (slot->text != nullptr && slot->length == length && std::memcmp(slot->bytes, bytes, length) == 0) {
            return Py_NewRef(slot->text);
        }
    }
    Ref raw = Ref::steal(PyBytes_FromStringAndSize(bytes, static_cast<Py_ssize_t>(length)));
    if (!raw) return nullptr;
    PyObject *args[] = {raw.get(), replace_word.get()};
    Ref result = Ref::steal(PyObject_Vectorcall(gb18030_decode, args, 2, nullptr));
    if (!result) return nullptr;
    PyObject *text = codec_output(result.get(), unicode_check, "decoder did not return a str object");
    if (text == nullptr) return nullptr;
    if (slot != nullptr && PyUnicode_CheckExact(text)) {
        slot->length = static_cast<std::uint8_t>(length);
        std::memcpy(slot->bytes, bytes, length);
        keep(slot->text, text);
    }
    return Py_NewRef(text);
}

// True when the field's bytes are the zero value its shape already holds.  A
// float must be +0.0 bit for bit (a -0.0 is converted).
bool is_zero(const Field &field, const unsigned char *at) noexcept {
    switch (field.kind) {
    case Kind::Text:
    case Kind::Char:
        return *at == 0;
    case Kind::Int: {
        int value;
        std::memcpy(&value, at, sizeof value);
        return value == 0;
    }
    case Kind::Float: {
        std::uint64_t bits;
        static_assert(sizeof bits == sizeof(double));
        std::memcpy(&bits, at, sizeof bits);
        return bits == 0;
    }
    }
    return false;
}

PyObject *to_python(const Field &field, const unsigned char *at) noexcept {
    switch (field.kind) {
    case Kind::Text:
        return decode_text(reinterpret_cast<const char *>(at), field.size);
    case Kind::Char:
        return PyUnicode_FromOrdinal(*at);  // one of the host's cached one-character strings
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
    return errors::set_error(PyExc_SystemError, "unknown field kind");
}

// The dictionary of an all-zero record, built key by key.
PyObject *make_shape(const Layout &layout) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    // Enough for the numbers; a text ends at its first byte.
    static const unsigned char zero[sizeof(double)] = {};
    for (const Field &field : layout.fields) {
        Ref value = Ref::steal(to_python(field, zero));
        if (!value || PyDict_SetItem(dict.get(), field.key, value.get()) < 0) return nullptr;
    }
    return dict.release();
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
    // An exact int is its own index; anything else goes through __index__.
    Ref index = PyLong_CheckExact(value) ? Ref::borrow(value) : Ref::steal(PyNumber_Index(value));
    if (!index) return false;
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (wide == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow > 0 || wide > INT_MAX)
        return errors::set_error(PyExc_OverflowError, "signed integer is greater than maximum");
    if (overflow < 0 || wide < INT_MIN)
        return errors::set_error(PyExc_OverflowError, "signed integer is less than minimum");
    const int narrow = static_cast<int>(wide);
    std::memcpy(at, &narrow, sizeof narrow);
    return true;
}

bool store_float(PyObject *value, unsigned char *at) noexcept {
    const double number = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
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
    for (const Layout *layout : all_layouts) {
        if (layout->shape == nullptr) {
            layout->shape = make_shape(*layout);
            if (layout->shape == nullptr) return false;
        }
    }
    return true;
}

PyObject *decode_text(const char *buffer, std::size_t size) noexcept {
    const void *nul = std::memchr(buffer, 0, size);
    const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - buffer) : size;
    // Eight bytes at a time: the high bits of every byte, and a hash for the
    // caches (a multiply and a shift per word).
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15u;
    std::uint64_t hash = static_cast<std::uint64_t>(length) * kMultiplier;
    std::uint64_t high = 0;
    std::size_t at = 0;
    for (; at + 8 <= length; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, buffer + at, 8);
        high |= word;
        hash = (hash ^ word) * kMultiplier;
        hash ^= hash >> 29;
    }
    if (at < length) {
        std::uint64_t word = 0;
        std::memcpy(&word, buffer + at, length - at);
        high |= word;
        hash = (hash ^ word) * kMultiplier;
        hash ^= hash >> 29;
    }
    if ((high & 0x8080808080808080u) != 0) return decode_gb18030(buffer, length, hash);
    // ASCII is its own GB18030 decoding.  The host's shared empty and
    // one-character strings serve the shortest texts.
    if (length <= 1) return length == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(buffer[0]);
    return decode_ascii(buffer, length, hash);
}

PyObject *record_to_dict(const Layout &layout, const unsigned char *record) noexcept {
    if (layout.shape == nullptr)
        return errors::set_error(PyExc_SystemError, "record tables are not initialised");
    // The copy has every key in table order with its zero value; fields that
    // are zero in the record keep it.
    Ref dict = Ref::steal(PyDict_Copy(layout.shape));
    if (!dict) return nullptr;
    for (const Field &field : layout.fields) {
        const unsigned char *at = record + field.offset;
        if (is_zero(field, at)) continue;
        Ref value = Ref::steal(to_python(field, at));
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
            ok = errors::set_error(PyExc_SystemError, "unknown field kind");
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace torvo::relay
