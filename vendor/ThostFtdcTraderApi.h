// Stand-in for the broker's trader library `thosttraderapi_se`.
//
// The class, callback and record names below are the ones the bridge in
// `_relay/` is written against, so the bridge builds unchanged against this
// stand-in.  The stand-in itself is a small network client: it talks to a
// front over TCP using the frame format documented in vendor/PROTOCOL.md.
#pragma once

#if defined(_WIN32)
#  if defined(THOST_TRADER_BUILDING)
#    define TRADER_API_EXPORT __declspec(dllexport)
#  else
#    define TRADER_API_EXPORT __declspec(dllimport)
#  endif
#else
#  define TRADER_API_EXPORT __attribute__((visibility("default")))
#endif

// ---------------------------------------------------------------------------
// Records.  Text is `char Name[n]`: at most n - 1 bytes plus a terminating NUL
// when sent, and possibly a full buffer without NUL when received.
// ---------------------------------------------------------------------------

struct CThostFtdcRspInfoField {
    int ErrorID;
    char ErrorMsg[81];
};

struct CThostFtdcReqAuthenticateField {
    char BrokerID[11];
    char UserID[16];
    char AuthCode[17];
    char AppID[33];
};

struct CThostFtdcRspAuthenticateField {
    char BrokerID[11];
    char UserID[16];
    char AppID[33];
};

struct CThostFtdcReqUserLoginField {
    char BrokerID[11];
    char UserID[16];
    char Password[41];
};

struct CThostFtdcRspUserLoginField {
    char TradingDay[9];
    int FrontID;
    int SessionID;
    char MaxOrderRef[13];
};

struct CThostFtdcSettlementInfoConfirmField {
    char BrokerID[11];
    char InvestorID[13];
    char CurrencyID[4];
};

struct CThostFtdcQryOrderField {
    char BrokerID[11];
    char InvestorID[13];
    char ExchangeID[9];
    char OrderSysID[21];
    char InstrumentID[81];
};

struct CThostFtdcQryTradeField {
    char BrokerID[11];
    char InvestorID[13];
    char ExchangeID[9];
    char InstrumentID[81];
};

struct CThostFtdcQryInvestorPositionField {
    char BrokerID[11];
    char InvestorID[13];
    char ExchangeID[9];
    char InstrumentID[81];
};

struct CThostFtdcQryTradingAccountField {
    char BrokerID[11];
    char InvestorID[13];
    char CurrencyID[4];
};

struct CThostFtdcQryInstrumentField {
    char ExchangeID[9];
    char InstrumentID[81];
};

struct CThostFtdcInputOrderField {
    char BrokerID[11];
    char InvestorID[13];
    char OrderRef[13];
    char UserID[16];
    char OrderPriceType;
    char Direction;
    char CombOffsetFlag[5];
    char CombHedgeFlag[5];
    double LimitPrice;
    int VolumeTotalOriginal;
    char TimeCondition;
    char VolumeCondition;
    int MinVolume;
    char ContingentCondition;
    double StopPrice;
    char ForceCloseReason;
    int IsAutoSuspend;
    int RequestID;
    int UserForceClose;
    char ExchangeID[9];
    char CurrencyID[4];
    char InstrumentID[81];
};

struct CThostFtdcInputOrderActionField {
    char BrokerID[11];
    char InvestorID[13];
    char OrderRef[13];
    int RequestID;
    int FrontID;
    int SessionID;
    char ExchangeID[9];
    char OrderSysID[21];
    char ActionFlag;
    double LimitPrice;
    char UserID[16];
    char InstrumentID[81];
};

struct CThostFtdcOrderActionField {
    char InstrumentID[81];
    char ExchangeID[9];
    char OrderSysID[21];
};

struct CThostFtdcOrderField {
    char TradingDay[9];
    char ExchangeID[9];
    char InstrumentID[81];
    char OrderSysID[21];
    char OrderRef[13];
    int FrontID;
    int SessionID;
    char Direction;
    char CombOffsetFlag[5];
    char CombHedgeFlag[5];
    double LimitPrice;
    int VolumeTotalOriginal;
    int VolumeTraded;
    int VolumeTotal;
    char OrderStatus;
    char OrderSubmitStatus;
    char StatusMsg[81];
    char InsertDate[9];
    char InsertTime[9];
};

struct CThostFtdcTradeField {
    char TradingDay[9];
    char ExchangeID[9];
    char InstrumentID[81];
    char OrderSysID[21];
    char OrderRef[13];
    char TradeID[21];
    char Direction;
    char OffsetFlag;
    char HedgeFlag;
    double Price;
    int Volume;
    char TradeDate[9];
    char TradeTime[9];
};

struct CThostFtdcInvestorPositionField {
    char TradingDay[9];
    char ExchangeID[9];
    char InstrumentID[81];
    char HedgeFlag;
    char PosiDirection;
    char PositionDate;
    int Position;
    int TodayPosition;
    int YdPosition;
    int LongFrozen;
    int ShortFrozen;
    double PositionProfit;
    double UseMargin;
};

struct CThostFtdcTradingAccountField {
    char AccountID[13];
    char CurrencyID[4];
    char TradingDay[9];
    double Balance;
    double Available;
    double CurrMargin;
    double FrozenMargin;
    double Commission;
    double FrozenCommission;
    double CloseProfit;
    double PositionProfit;
    double Deposit;
    double Withdraw;
};

struct CThostFtdcInstrumentField {
    char ExchangeID[9];
    char InstrumentID[81];
    char ProductClass;
    int IsTrading;
    double PriceTick;
    int MinLimitOrderVolume;
    int MaxLimitOrderVolume;
};

// ---------------------------------------------------------------------------
// Callbacks.  Every callback runs on the library's own network thread.
// ---------------------------------------------------------------------------

class CThostFtdcTraderSpi {
public:
    virtual void OnFrontConnected() {}
    virtual void OnFrontDisconnected(int nReason) { (void)nReason; }
    virtual void OnRspAuthenticate(CThostFtdcRspAuthenticateField *pRspAuthenticateField,
                                   CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pRspAuthenticateField; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspUserLogin(CThostFtdcRspUserLoginField *pRspUserLogin,
                                CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pRspUserLogin; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspOrderInsert(CThostFtdcInputOrderField *pInputOrder,
                                  CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pInputOrder; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspOrderAction(CThostFtdcInputOrderActionField *pInputOrderAction,
                                  CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pInputOrderAction; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *pSettlementInfoConfirm,
                                            CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pSettlementInfoConfirm; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspQryOrder(CThostFtdcOrderField *pOrder,
                               CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pOrder; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspQryTrade(CThostFtdcTradeField *pTrade,
                               CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pTrade; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspQryInvestorPosition(CThostFtdcInvestorPositionField *pInvestorPosition,
                                          CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pInvestorPosition; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspQryTradingAccount(CThostFtdcTradingAccountField *pTradingAccount,
                                        CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pTradingAccount; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspQryInstrument(CThostFtdcInstrumentField *pInstrument,
                                    CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pInstrument; (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRspError(CThostFtdcRspInfoField *pRspInfo, int nRequestID, bool bIsLast) {
        (void)pRspInfo; (void)nRequestID; (void)bIsLast;
    }
    virtual void OnRtnOrder(CThostFtdcOrderField *pOrder) { (void)pOrder; }
    virtual void OnRtnTrade(CThostFtdcTradeField *pTrade) { (void)pTrade; }
    virtual void OnErrRtnOrderInsert(CThostFtdcInputOrderField *pInputOrder, CThostFtdcRspInfoField *pRspInfo) {
        (void)pInputOrder; (void)pRspInfo;
    }
    virtual void OnErrRtnOrderAction(CThostFtdcOrderActionField *pOrderAction, CThostFtdcRspInfoField *pRspInfo) {
        (void)pOrderAction; (void)pRspInfo;
    }

protected:
    virtual ~CThostFtdcTraderSpi() = default;
};

// Resume modes of the private and public topic subscriptions.
enum THOST_TE_RESUME_TYPE {
    THOST_TERT_RESTART = 0,
    THOST_TERT_RESUME = 1,
    THOST_TERT_QUICK = 2,
    THOST_TERT_NONE = 3,
};

// ---------------------------------------------------------------------------
// The API object.  Request operations return 0 when the request was sent,
// -1 while not connected, -3 when the front's query rate is exceeded.
// ---------------------------------------------------------------------------

class TRADER_API_EXPORT CThostFtdcTraderApi {
public:
    // Creates an API object writing its flow files into `pszFlowPath`, which
    // must name an existing writable directory; returns null otherwise.
    static CThostFtdcTraderApi *CreateFtdcTraderApi(const char *pszFlowPath = "", bool bIsProductionMode = true);
    static const char *GetApiVersion();

    // Stops the network thread and frees the object; no callback runs after
    // it returns.  Call RegisterSpi(nullptr) first.
    virtual void Release() = 0;
    // Starts the network thread, which connects to the registered fronts.
    virtual void Init() = 0;
    // Adds a front "tcp://host:port"; may be called several times.
    virtual void RegisterFront(char *pszFrontAddress) = 0;
    virtual void RegisterSpi(CThostFtdcTraderSpi *pSpi) = 0;
    virtual void SubscribePrivateTopic(THOST_TE_RESUME_TYPE nResumeType, int nSubscribeFlag = 1) = 0;
    virtual void SubscribePublicTopic(THOST_TE_RESUME_TYPE nResumeType) = 0;

    virtual int ReqAuthenticate(CThostFtdcReqAuthenticateField *pReqAuthenticateField, int nRequestID) = 0;
    virtual int ReqUserLogin(CThostFtdcReqUserLoginField *pReqUserLoginField, int nRequestID) = 0;
    virtual int ReqSettlementInfoConfirm(CThostFtdcSettlementInfoConfirmField *pSettlementInfoConfirm, int nRequestID) = 0;
    virtual int ReqQryOrder(CThostFtdcQryOrderField *pQryOrder, int nRequestID) = 0;
    virtual int ReqQryTrade(CThostFtdcQryTradeField *pQryTrade, int nRequestID) = 0;
    virtual int ReqQryInvestorPosition(CThostFtdcQryInvestorPositionField *pQryInvestorPosition, int nRequestID) = 0;
    virtual int ReqQryTradingAccount(CThostFtdcQryTradingAccountField *pQryTradingAccount, int nRequestID) = 0;
    virtual int ReqQryInstrument(CThostFtdcQryInstrumentField *pQryInstrument, int nRequestID) = 0;
    virtual int ReqOrderInsert(CThostFtdcInputOrderField *pInputOrder, int nRequestID) = 0;
    virtual int ReqOrderAction(CThostFtdcInputOrderActionField *pInputOrderAction, int nRequestID) = 0;

protected:
    virtual ~CThostFtdcTraderApi() = default;
};
