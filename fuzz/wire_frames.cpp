// libFuzzer harness: arbitrary bytes as the stream a front sends to the
// stand-in library.
//
// Input: one byte that chooses how the stream is cut into reads, then the
// stream itself.  The harness runs the library's own read loop over it
// (FrameStream, parse_frame, the greeting rule, find_callback and the
// invokers) with a callback object that checks every record it is handed.
// Every callback frame's fields are also encoded as each request record and
// decoded again, which must give back the same record.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ThostFtdcTraderApi.h"
#include "callbacks.h"
#include "records.h"
#include "wire.h"

using namespace traderlib;

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "wire_frames: %s\n", what);
    std::abort();
}

// Reads every byte of a record, so the sanitizer sees a record that is
// shorter than its type.
template <class R> void touch(const R *record) {
    volatile unsigned char sink = 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(record);
    for (std::size_t k = 0; k < sizeof(R); ++k) sink = sink ^ p[k];
    (void)sink;
}

// Checks what a callback receives against the frame it came from.
class CheckingSpi final : public CThostFtdcTraderSpi {
public:
    const Message *msg = nullptr;
    int calls = 0;

    template <class R> void data(const R *record) {
        ++calls;
        if ((record != nullptr) != msg->has_data) fail("data record present although has_data is 0, or missing");
        if (record) touch(record);
    }
    void info(const CThostFtdcRspInfoField *info) {
        if ((info != nullptr) != msg->has_rsp_info) fail("response information does not follow has_rsp_info");
        if (info == nullptr) return;
        touch(info);
        if (info->ErrorID != msg->error_id) fail("ErrorID differs from the frame");
        // The message's first bytes, as many as fit (a full buffer keeps no
        // NUL), then zeros.
        const std::string_view sent = msg->error_msg.substr(0, sizeof info->ErrorMsg);
        if (std::memcmp(info->ErrorMsg, sent.data(), sent.size()) != 0) fail("ErrorMsg differs from the frame");
        for (std::size_t k = sent.size(); k < sizeof info->ErrorMsg; ++k)
            if (info->ErrorMsg[k] != 0) fail("ErrorMsg not zero after the message");
    }
    void response(int request_id, bool last) {
        if (request_id != msg->request_id || last != msg->is_last) fail("request id or is_last differs");
    }

    void OnFrontConnected() override {}
    void OnFrontDisconnected(int) override {}
#define RESPONSE(Method, R)                                                    \
    void Method(R *p, CThostFtdcRspInfoField *i, int id, bool last) override { \
        data(p);                                                               \
        info(i);                                                               \
        response(id, last);                                                    \
    }
    RESPONSE(OnRspAuthenticate, CThostFtdcRspAuthenticateField)
    RESPONSE(OnRspUserLogin, CThostFtdcRspUserLoginField)
    RESPONSE(OnRspOrderInsert, CThostFtdcInputOrderField)
    RESPONSE(OnRspOrderAction, CThostFtdcInputOrderActionField)
    RESPONSE(OnRspSettlementInfoConfirm, CThostFtdcSettlementInfoConfirmField)
    RESPONSE(OnRspQryOrder, CThostFtdcOrderField)
    RESPONSE(OnRspQryTrade, CThostFtdcTradeField)
    RESPONSE(OnRspQryInvestorPosition, CThostFtdcInvestorPositionField)
    RESPONSE(OnRspQryTradingAccount, CThostFtdcTradingAccountField)
    RESPONSE(OnRspQryInstrument, CThostFtdcInstrumentField)
#undef RESPONSE
    void OnRspError(CThostFtdcRspInfoField *i, int id, bool last) override {
        ++calls;
        info(i);
        response(id, last);
    }
    void OnRtnOrder(CThostFtdcOrderField *p) override { data(p); }
    void OnRtnTrade(CThostFtdcTradeField *p) override { data(p); }
    void OnErrRtnOrderInsert(CThostFtdcInputOrderField *p, CThostFtdcRspInfoField *i) override {
        data(p);
        info(i);
    }
    void OnErrRtnOrderAction(CThostFtdcOrderActionField *p, CThostFtdcRspInfoField *i) override {
        data(p);
        info(i);
    }
};

// Text fields travel up to their first NUL: compare that far, and the
// decoded copy must be zero behind it.
bool same_field(const FieldDesc &f, const unsigned char *a, const unsigned char *b) {
    a += f.offset;
    b += f.offset;
    if (f.kind != FieldKind::Text) return std::memcmp(a, b, f.size) == 0;
    const void *nul = std::memchr(a, 0, f.size);
    const std::size_t n = nul ? static_cast<std::size_t>(static_cast<const unsigned char *>(nul) - a) : f.size;
    if (std::memcmp(a, b, n) != 0) return false;
    for (std::size_t k = n; k < f.size; ++k)
        if (b[k] != 0) return false;
    return true;
}

// Encodes `fields` as request record R and decodes the frame again.
template <class R> void round_trip(std::string_view name, std::span<const WireField> fields, std::int32_t id) {
    const RecordDesc &desc = record_desc<R>();
    R record, back;
    std::memset(&record, 0, sizeof record);
    std::memset(&back, 0, sizeof back);
    fill_record(desc, fields, &record);

    std::string frame;
    encode_request(frame, name, desc, &record, id);
    FrameStream stream;
    std::span<char> room = stream.spare(frame.size());
    std::memcpy(room.data(), frame.data(), frame.size());
    stream.commit(frame.size());
    std::string_view body;
    if (stream.next(body) != FrameStream::kFrame || 4 + body.size() != frame.size()) fail("request length prefix");
    Message m;
    if (!parse_frame(body, m)) fail("an encoded request does not parse");
    if (m.kind != kRequest || m.name != name || m.request_id != id || !m.is_last || m.has_rsp_info ||
        m.error_id != 0 || !m.error_msg.empty() || !m.has_data || m.fields.size() != desc.fields.size())
        fail("request header does not round-trip");
    for (std::size_t k = 0; k < desc.fields.size(); ++k) {
        static constexpr char kTypes[] = {'s', 'c', 'i', 'd'};
        if (m.fields[k].key != desc.fields[k].name ||
            m.fields[k].type != kTypes[static_cast<int>(desc.fields[k].kind)])
            fail("request field key or type");
    }
    fill_record(desc, m.fields, &back);
    const auto *a = reinterpret_cast<const unsigned char *>(&record);
    const auto *b = reinterpret_cast<const unsigned char *>(&back);
    for (const FieldDesc &f : desc.fields)
        if (!same_field(f, a, b)) fail("request field does not round-trip");
}

void round_trips(const Message &m) {
    switch (static_cast<unsigned>(m.request_id) % 10) {
    case 0: return round_trip<CThostFtdcReqAuthenticateField>("ReqAuthenticate", m.fields, m.request_id);
    case 1: return round_trip<CThostFtdcReqUserLoginField>("ReqUserLogin", m.fields, m.request_id);
    case 2: return round_trip<CThostFtdcSettlementInfoConfirmField>("ReqSettlementInfoConfirm", m.fields, m.request_id);
    case 3: return round_trip<CThostFtdcQryOrderField>("ReqQryOrder", m.fields, m.request_id);
    case 4: return round_trip<CThostFtdcQryTradeField>("ReqQryTrade", m.fields, m.request_id);
    case 5: return round_trip<CThostFtdcQryInvestorPositionField>("ReqQryInvestorPosition", m.fields, m.request_id);
    case 6: return round_trip<CThostFtdcQryTradingAccountField>("ReqQryTradingAccount", m.fields, m.request_id);
    case 7: return round_trip<CThostFtdcQryInstrumentField>("ReqQryInstrument", m.fields, m.request_id);
    case 8: return round_trip<CThostFtdcInputOrderField>("ReqOrderInsert", m.fields, m.request_id);
    default: return round_trip<CThostFtdcInputOrderActionField>("ReqOrderAction", m.fields, m.request_id);
    }
}

// The library's read loop (TraderApi::read_frames) over the buffered
// frames: false once the connection would end.
bool read_frames(FrameStream &stream, Message &msg, CheckingSpi &spi, bool &greeted) {
    std::string_view body;
    for (;;) {
        switch (stream.next(body)) {
        case FrameStream::kNeedMore: return true;
        case FrameStream::kBad: return false;
        case FrameStream::kFrame: break;
        }
        if (body.empty() || body.size() > kMaxFrame) fail("frame body outside the length limits");
        if (!parse_frame(body, msg)) return false;
        if (msg.kind == kGreeting) {
            int rate = 1;
            if (msg.has_data)
                for (const WireField &f : msg.fields)
                    if (f.key == "QueryRate" && f.type == 'i') rate = f.i;
            if (rate < 0) return false;
            greeted = true;
        } else if (msg.kind == kCallback && greeted) {
            spi.msg = &msg;
            if (Invoker invoke = find_callback(msg.name)) {
                const int before = spi.calls;
                invoke(spi, msg);
                if (spi.calls != before + 1) fail("an invoker did not call exactly one callback");
            }
            round_trips(msg);
        } else if (msg.kind == kHeartbeat && greeted) {
            // A sign of life only, as in the library.
        } else {
            return false;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    std::uint32_t cut = data[0] | 1u;  // the lengths of the reads: a small xorshift sequence
    const char *p = reinterpret_cast<const char *>(data + 1);
    std::size_t left = size - 1;

    FrameStream stream;
    Message msg;
    CheckingSpi spi;
    bool greeted = false;
    while (left > 0) {
        cut ^= cut << 13;
        cut ^= cut >> 17;
        cut ^= cut << 5;
        const std::size_t n = std::min<std::size_t>(left, 1 + cut % 300);
        std::span<char> room = stream.spare(n);
        if (room.size() < n) fail("spare() returned less room than asked for");
        std::memcpy(room.data(), p, n);
        stream.commit(n);
        p += n;
        left -= n;
        if (!read_frames(stream, msg, spi, greeted)) break;
    }
    return 0;
}
