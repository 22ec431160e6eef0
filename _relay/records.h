// Field tables of the vendor records and the conversions they drive.
//
// Every record the bridge reads or writes is described once, as a table of
// (field name, byte offset, kind, buffer size).  The same tables and the same
// two routines serve both directions: a callback record copied off a vendor
// thread becomes a dictionary in `poll`, and a request dictionary becomes a
// zeroed vendor record in `request`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "ThostFtdcTraderApi.h"
#include "common/intern.h"

namespace torvo::relay {

enum class Kind : std::uint8_t {
    Text,   // char[n]: up to n - 1 bytes of GB18030 text and a NUL
    Char,   // char: one byte, zero for "nothing"
    Int,    // int
    Float,  // double
};

struct Field {
    const char *name;
    std::uint16_t offset;
    Kind kind;
    std::uint16_t size;  // bytes of the vendor buffer
    Interned key;        // `name` as an interned str, made at module init
};

// The fields one record contributes, in dictionary order.  The record type is
// part of the layout's type, so a request can only be paired with the record
// its vendor operation takes.
struct Layout {
    std::span<Field> fields;
    std::size_t record_size;
    // The dictionary of an all-zero record, made at module init and never
    // released: every record dictionary starts as a copy of it, which clones
    // its key table at the final size, and only non-zero fields are set.
    mutable PyObject *shape = nullptr;
};

template <class Record>
struct RecordLayout : Layout {};

// Compile-time check that a table entry agrees with the vendor header.
template <class Member, Kind K>
constexpr std::uint16_t member_size() {
    if constexpr (K == Kind::Text) {
        static_assert(std::is_array_v<Member> && std::is_same_v<std::remove_extent_t<Member>, char>,
                      "text fields are char arrays");
    } else if constexpr (K == Kind::Char) {
        static_assert(std::is_same_v<Member, char>, "char fields are a single char");
    } else if constexpr (K == Kind::Int) {
        static_assert(std::is_same_v<Member, int>, "int fields are int");
    } else {
        static_assert(std::is_same_v<Member, double>, "float fields are double");
    }
    static_assert(sizeof(Member) <= 0xFFFF);
    return static_cast<std::uint16_t>(sizeof(Member));
}

#define TORVO_RELAY_FIELD(Record, Name, K)                                                \
    ::torvo::relay::Field {                                                               \
        #Name, static_cast<std::uint16_t>(offsetof(Record, Name)), ::torvo::relay::Kind::K, \
            ::torvo::relay::member_size<decltype(Record::Name), ::torvo::relay::Kind::K>(), {} \
    }

// Records delivered by callbacks (dictionary "data" and "error").
extern const RecordLayout<CThostFtdcRspInfoField> kRspInfo;
extern const RecordLayout<CThostFtdcRspAuthenticateField> kRspAuthenticate;
extern const RecordLayout<CThostFtdcRspUserLoginField> kRspUserLogin;
extern const RecordLayout<CThostFtdcSettlementInfoConfirmField> kRspSettlementInfoConfirm;
extern const RecordLayout<CThostFtdcOrderField> kOrder;
extern const RecordLayout<CThostFtdcTradeField> kTrade;
extern const RecordLayout<CThostFtdcInvestorPositionField> kInvestorPosition;
extern const RecordLayout<CThostFtdcTradingAccountField> kTradingAccount;
extern const RecordLayout<CThostFtdcInstrumentField> kInstrument;
extern const RecordLayout<CThostFtdcInputOrderField> kInputOrderReply;
extern const RecordLayout<CThostFtdcInputOrderActionField> kInputOrderActionReply;
extern const RecordLayout<CThostFtdcOrderActionField> kOrderActionReply;

// Records sent by requests.
extern const RecordLayout<CThostFtdcReqAuthenticateField> kReqAuthenticate;
extern const RecordLayout<CThostFtdcReqUserLoginField> kReqUserLogin;
extern const RecordLayout<CThostFtdcSettlementInfoConfirmField> kReqSettlementInfoConfirm;
extern const RecordLayout<CThostFtdcQryOrderField> kReqQryOrder;
extern const RecordLayout<CThostFtdcQryTradeField> kReqQryTrade;
extern const RecordLayout<CThostFtdcQryInvestorPositionField> kReqQryInvestorPosition;
extern const RecordLayout<CThostFtdcQryTradingAccountField> kReqQryTradingAccount;
extern const RecordLayout<CThostFtdcQryInstrumentField> kReqQryInstrument;
extern const RecordLayout<CThostFtdcInputOrderField> kReqOrderInsert;
extern const RecordLayout<CThostFtdcInputOrderActionField> kReqOrderAction;

// Interns every field name, makes the layouts' shapes and looks up the
// GB18030 codec.  Called once from module init; false with a Python exception
// set on failure.
bool init_records() noexcept;

// New dict of the layout's fields read from `record`, in table order; null
// with an exception set when a conversion fails.
PyObject *record_to_dict(const Layout &layout, const unsigned char *record) noexcept;

// Fills the fields of a zeroed `record` from the dict `fields`, in table
// order; absent keys leave their field zero.  False with an exception set at
// the first key that fails.
bool dict_to_record(const Layout &layout, PyObject *fields, unsigned char *record) noexcept;

// A vendor text buffer as str: bytes up to the first NUL (at most `size`),
// decoded as GB18030 with undecodable bytes replaced.  Pure ASCII (its own
// GB18030 decoding) is copied without the codec; other texts go through the
// codec once and are then served from a small cache of recent results.
PyObject *decode_text(const char *buffer, std::size_t size) noexcept;

}  // namespace torvo::relay
