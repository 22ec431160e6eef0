// Field tables of every record the library sends or receives.
#include "records.h"

#include <type_traits>

namespace traderlib {

#define TL_FIELD(R, f) \
    FieldDesc { #f, offsetof(R, f), KindOf<decltype(R::f)>::value, sizeof(R::f) }

#define TL_RECORD(R, ...)                                                        \
    static_assert(std::is_standard_layout_v<R> && std::is_trivially_copyable_v<R>); \
    namespace {                                                                  \
    constexpr FieldDesc R##_fields[] = {__VA_ARGS__};                            \
    }                                                                            \
    template <> const RecordDesc &record_desc<R>() {                             \
        static const RecordDesc desc{#R, sizeof(R), R##_fields};                 \
        return desc;                                                             \
    }

TL_RECORD(CThostFtdcRspInfoField,
          TL_FIELD(CThostFtdcRspInfoField, ErrorID),
          TL_FIELD(CThostFtdcRspInfoField, ErrorMsg))

TL_RECORD(CThostFtdcReqAuthenticateField,
          TL_FIELD(CThostFtdcReqAuthenticateField, BrokerID),
          TL_FIELD(CThostFtdcReqAuthenticateField, UserID),
          TL_FIELD(CThostFtdcReqAuthenticateField, AuthCode),
          TL_FIELD(CThostFtdcReqAuthenticateField, AppID))

TL_RECORD(CThostFtdcRspAuthenticateField,
          TL_FIELD(CThostFtdcRspAuthenticateField, BrokerID),
          TL_FIELD(CThostFtdcRspAuthenticateField, UserID),
          TL_FIELD(CThostFtdcRspAuthenticateField, AppID))

TL_RECORD(CThostFtdcReqUserLoginField,
          TL_FIELD(CThostFtdcReqUserLoginField, BrokerID),
          TL_FIELD(CThostFtdcReqUserLoginField, UserID),
          TL_FIELD(CThostFtdcReqUserLoginField, Password))

TL_RECORD(CThostFtdcRspUserLoginField,
          TL_FIELD(CThostFtdcRspUserLoginField, TradingDay),
          TL_FIELD(CThostFtdcRspUserLoginField, FrontID),
          TL_FIELD(CThostFtdcRspUserLoginField, SessionID),
          TL_FIELD(CThostFtdcRspUserLoginField, MaxOrderRef))

TL_RECORD(CThostFtdcSettlementInfoConfirmField,
          TL_FIELD(CThostFtdcSettlementInfoConfirmField, BrokerID),
          TL_FIELD(CThostFtdcSettlementInfoConfirmField, InvestorID),
          TL_FIELD(CThostFtdcSettlementInfoConfirmField, CurrencyID))

TL_RECORD(CThostFtdcQryOrderField,
          TL_FIELD(CThostFtdcQryOrderField, BrokerID),
          TL_FIELD(CThostFtdcQryOrderField, InvestorID),
          TL_FIELD(CThostFtdcQryOrderField, ExchangeID),
          TL_FIELD(CThostFtdcQryOrderField, OrderSysID),
          TL_FIELD(CThostFtdcQryOrderField, InstrumentID))

TL_RECORD(CThostFtdcQryTradeField,
          TL_FIELD(CThostFtdcQryTradeField, BrokerID),
          TL_FIELD(CThostFtdcQryTradeField, InvestorID),
          TL_FIELD(CThostFtdcQryTradeField, ExchangeID),
          TL_FIELD(CThostFtdcQryTradeField, InstrumentID))

TL_RECORD(CThostFtdcQryInvestorPositionField,
          TL_FIELD(CThostFtdcQryInvestorPositionField, BrokerID),
          TL_FIELD(CThostFtdcQryInvestorPositionField, InvestorID),
          TL_FIELD(CThostFtdcQryInvestorPositionField, ExchangeID),
          TL_FIELD(CThostFtdcQryInvestorPositionField, InstrumentID))

TL_RECORD(CThostFtdcQryTradingAccountField,
          TL_FIELD(CThostFtdcQryTradingAccountField, BrokerID),
          TL_FIELD(CThostFtdcQryTradingAccountField, InvestorID),
          TL_FIELD(CThostFtdcQryTradingAccountField, CurrencyID))

TL_RECORD(CThostFtdcQryInstrumentField,
          TL_FIELD(CThostFtdcQryInstrumentField, ExchangeID),
          TL_FIELD(CThostFtdcQryInstrumentField, InstrumentID))

TL_RECORD(CThostFtdcInputOrderField,
          TL_FIELD(CThostFtdcInputOrderField, BrokerID),
          TL_FIELD(CThostFtdcInputOrderField, InvestorID),
          TL_FIELD(CThostFtdcInputOrderField, OrderRef),
          TL_FIELD(CThostFtdcInputOrderField, UserID),
          TL_FIELD(CThostFtdcInputOrderField, OrderPriceType),
          TL_FIELD(CThostFtdcInputOrderField, Direction),
          TL_FIELD(CThostFtdcInputOrderField, CombOffsetFlag),
          TL_FIELD(CThostFtdcInputOrderField, CombHedgeFlag),
          TL_FIELD(CThostFtdcInputOrderField, LimitPrice),
          TL_FIELD(CThostFtdcInputOrderField, VolumeTotalOriginal),
          TL_FIELD(CThostFtdcInputOrderField, TimeCondition),
          TL_FIELD(CThostFtdcInputOrderField, VolumeCondition),
          TL_FIELD(CThostFtdcInputOrderField, MinVolume),
          TL_FIELD(CThostFtdcInputOrderField, ContingentCondition),
          TL_FIELD(CThostFtdcInputOrderField, StopPrice),
          TL_FIELD(CThostFtdcInputOrderField, ForceCloseReason),
          TL_FIELD(CThostFtdcInputOrderField, IsAutoSuspend),
          TL_FIELD(CThostFtdcInputOrderField, RequestID),
          TL_FIELD(CThostFtdcInputOrderField, UserForceClose),
          TL_FIELD(CThostFtdcInputOrderField, ExchangeID),
          TL_FIELD(CThostFtdcInputOrderField, CurrencyID),
          TL_FIELD(CThostFtdcInputOrderField, InstrumentID))

TL_RECORD(CThostFtdcInputOrderActionField,
          TL_FIELD(CThostFtdcInputOrderActionField, BrokerID),
          TL_FIELD(CThostFtdcInputOrderActionField, InvestorID),
          TL_FIELD(CThostFtdcInputOrderActionField, OrderRef),
          TL_FIELD(CThostFtdcInputOrderActionField, RequestID),
          TL_FIELD(CThostFtdcInputOrderActionField, FrontID),
          TL_FIELD(CThostFtdcInputOrderActionField, SessionID),
          TL_FIELD(CThostFtdcInputOrderActionField, ExchangeID),
          TL_FIELD(CThostFtdcInputOrderActionField, OrderSysID),
          TL_FIELD(CThostFtdcInputOrderActionField, ActionFlag),
          TL_FIELD(CThostFtdcInputOrderActionField, LimitPrice),
          TL_FIELD(CThostFtdcInputOrderActionField, UserID),
          TL_FIELD(CThostFtdcInputOrderActionField, InstrumentID))

TL_RECORD(CThostFtdcOrderActionField,
          TL_FIELD(CThostFtdcOrderActionField, InstrumentID),
          TL_FIELD(CThostFtdcOrderActionField, ExchangeID),
          TL_FIELD(CThostFtdcOrderActionField, OrderSysID))

TL_RECORD(CThostFtdcOrderField,
          TL_FIELD(CThostFtdcOrderField, TradingDay),
          TL_FIELD(CThostFtdcOrderField, ExchangeID),
          TL_FIELD(CThostFtdcOrderField, InstrumentID),
          TL_FIELD(CThostFtdcOrderField, OrderSysID),
          TL_FIELD(CThostFtdcOrderField, OrderRef),
          TL_FIELD(CThostFtdcOrderField, FrontID),
          TL_FIELD(CThostFtdcOrderField, SessionID),
          TL_FIELD(CThostFtdcOrderField, Direction),
          TL_FIELD(CThostFtdcOrderField, CombOffsetFlag),
          TL_FIELD(CThostFtdcOrderField, CombHedgeFlag),
          TL_FIELD(CThostFtdcOrderField, LimitPrice),
          TL_FIELD(CThostFtdcOrderField, VolumeTotalOriginal),
          TL_FIELD(CThostFtdcOrderField, VolumeTraded),
          TL_FIELD(CThostFtdcOrderField, VolumeTotal),
          TL_FIELD(CThostFtdcOrderField, OrderStatus),
          TL_FIELD(CThostFtdcOrderField, OrderSubmitStatus),
          TL_FIELD(CThostFtdcOrderField, StatusMsg),
          TL_FIELD(CThostFtdcOrderField, InsertDate),
          TL_FIELD(CThostFtdcOrderField, InsertTime))

TL_RECORD(CThostFtdcTradeField,
          TL_FIELD(CThostFtdcTradeField, TradingDay),
          TL_FIELD(CThostFtdcTradeField, ExchangeID),
          TL_FIELD(CThostFtdcTradeField, InstrumentID),
          TL_FIELD(CThostFtdcTradeField, OrderSysID),
          TL_FIELD(CThostFtdcTradeField, OrderRef),
          TL_FIELD(CThostFtdcTradeField, TradeID),
          TL_FIELD(CThostFtdcTradeField, Direction),
          TL_FIELD(CThostFtdcTradeField, OffsetFlag),
          TL_FIELD(CThostFtdcTradeField, HedgeFlag),
          TL_FIELD(CThostFtdcTradeField, Price),
          TL_FIELD(CThostFtdcTradeField, Volume),
          TL_FIELD(CThostFtdcTradeField, TradeDate),
          TL_FIELD(CThostFtdcTradeField, TradeTime))

TL_RECORD(CThostFtdcInvestorPositionField,
          TL_FIELD(CThostFtdcInvestorPositionField, TradingDay),
          TL_FIELD(CThostFtdcInvestorPositionField, ExchangeID),
          TL_FIELD(CThostFtdcInvestorPositionField, InstrumentID),
          TL_FIELD(CThostFtdcInvestorPositionField, HedgeFlag),
          TL_FIELD(CThostFtdcInvestorPositionField, PosiDirection),
          TL_FIELD(CThostFtdcInvestorPositionField, PositionDate),
          TL_FIELD(CThostFtdcInvestorPositionField, Position),
          TL_FIELD(CThostFtdcInvestorPositionField, TodayPosition),
          TL_FIELD(CThostFtdcInvestorPositionField, YdPosition),
          TL_FIELD(CThostFtdcInvestorPositionField, LongFrozen),
          TL_FIELD(CThostFtdcInvestorPositionField, ShortFrozen),
          TL_FIELD(CThostFtdcInvestorPositionField, PositionProfit),
          TL_FIELD(CThostFtdcInvestorPositionField, UseMargin))

TL_RECORD(CThostFtdcTradingAccountField,
          TL_FIELD(CThostFtdcTradingAccountField, AccountID),
          TL_FIELD(CThostFtdcTradingAccountField, CurrencyID),
          TL_FIELD(CThostFtdcTradingAccountField, TradingDay),
          TL_FIELD(CThostFtdcTradingAccountField, Balance),
          TL_FIELD(CThostFtdcTradingAccountField, Available),
          TL_FIELD(CThostFtdcTradingAccountField, CurrMargin),
          TL_FIELD(CThostFtdcTradingAccountField, FrozenMargin),
          TL_FIELD(CThostFtdcTradingAccountField, Commission),
          TL_FIELD(CThostFtdcTradingAccountField, FrozenCommission),
          TL_FIELD(CThostFtdcTradingAccountField, CloseProfit),
          TL_FIELD(CThostFtdcTradingAccountField, PositionProfit),
          TL_FIELD(CThostFtdcTradingAccountField, Deposit),
          TL_FIELD(CThostFtdcTradingAccountField, Withdraw))

TL_RECORD(CThostFtdcInstrumentField,
          TL_FIELD(CThostFtdcInstrumentField, ExchangeID),
          TL_FIELD(CThostFtdcInstrumentField, InstrumentID),
          TL_FIELD(CThostFtdcInstrumentField, ProductClass),
          TL_FIELD(CThostFtdcInstrumentField, IsTrading),
          TL_FIELD(CThostFtdcInstrumentField, PriceTick),
          TL_FIELD(CThostFtdcInstrumentField, MinLimitOrderVolume),
          TL_FIELD(CThostFtdcInstrumentField, MaxLimitOrderVolume))

#undef TL_RECORD
#undef TL_FIELD

}  // namespace traderlib
