// Declarative field tables of the trader records: one table per record,
// listing every field with its wire name, offset, kind and size.  The same
// table drives the encoding of a request record and the decoding of a
// callback record.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "ThostFtdcTraderApi.h"

namespace traderlib {

enum class FieldKind : unsigned char { Text, Char, Int, Double };

struct FieldDesc {
    std::string_view name;
    std::size_t offset;
    FieldKind kind;
    std::size_t size;  // bytes of the buffer (Text), 1 (Char), sizeof int/double
};

struct RecordDesc {
    std::string_view name;
    std::size_t size;
    std::span<const FieldDesc> fields;

    const FieldDesc *find(std::string_view key) const {
        for (const FieldDesc &f : fields)
            if (f.name == key) return &f;
        return nullptr;
    }
};

// The kind of a field follows from its C++ type, so a table entry cannot
// disagree with the record it describes.
template <class T> struct KindOf;
template <std::size_t N> struct KindOf<char[N]> { static constexpr FieldKind value = FieldKind::Text; };
template <> struct KindOf<char> { static constexpr FieldKind value = FieldKind::Char; };
template <> struct KindOf<int> { static constexpr FieldKind value = FieldKind::Int; };
template <> struct KindOf<double> { static constexpr FieldKind value = FieldKind::Double; };

// Table of every record type, keyed by the record's C++ type.
template <class Record> const RecordDesc &record_desc();

#define TL_RECORD_TYPES(X)                  \
    X(CThostFtdcRspInfoField)               \
    X(CThostFtdcReqAuthenticateField)       \
    X(CThostFtdcRspAuthenticateField)       \
    X(CThostFtdcReqUserLoginField)          \
    X(CThostFtdcRspUserLoginField)          \
    X(CThostFtdcSettlementInfoConfirmField) \
    X(CThostFtdcQryOrderField)              \
    X(CThostFtdcQryTradeField)              \
    X(CThostFtdcQryInvestorPositionField)   \
    X(CThostFtdcQryTradingAccountField)     \
    X(CThostFtdcQryInstrumentField)         \
    X(CThostFtdcInputOrderField)            \
    X(CThostFtdcInputOrderActionField)      \
    X(CThostFtdcOrderActionField)           \
    X(CThostFtdcOrderField)                 \
    X(CThostFtdcTradeField)                 \
    X(CThostFtdcInvestorPositionField)      \
    X(CThostFtdcTradingAccountField)        \
    X(CThostFtdcInstrumentField)

#define TL_DECLARE_RECORD(R) template <> const RecordDesc &record_desc<R>();
TL_RECORD_TYPES(TL_DECLARE_RECORD)
#undef TL_DECLARE_RECORD

}  // namespace traderlib
