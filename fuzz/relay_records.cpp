// libFuzzer harness: the bridge's record conversions, with an embedded
// interpreter (they make and read Python objects).
//
// The harness drives the module's own functions (`poll`, `request`,
// `close` of PyInit__relay) on a session capsule it makes around a bridge
// callback object whose vendor object is a stand-in that checks every
// request record it is handed.  Each input is a sequence of steps:
//
// - a callback step fills vendor records of a callback's type straight from
//   the input (so text buffers may lack their NUL and char fields hold any
//   byte), hands them, with or without response information, to the
//   callback object, and polls the events (sometimes after a close);
// - a request step builds a field dictionary from the input (str, int,
//   float, bytes, None, objects whose conversion hooks raise, clear or
//   rewrite the dictionary or close the session, keys that are str
//   subclasses) and sends it under one of the request names or another one.
//
// Only the documented errors may come out; a SystemError, a missing or
// spurious exception, a wrong event shape, a record field the table does not
// name, a text field without its NUL or a leaked reference aborts.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "ThostFtdcTraderApi.h"
#include "_relay/records.h"
#include "_relay/spi.h"
#include "common/ref.h"

PyMODINIT_FUNC PyInit__relay(void);

// The module's create() and version() call these; the harness makes its own
// sessions and never calls either.
CThostFtdcTraderApi *CThostFtdcTraderApi::CreateFtdcTraderApi(const char *, bool) { return nullptr; }
const char *CThostFtdcTraderApi::GetApiVersion() { return "fuzz"; }

using torvo::Ref;
using namespace torvo::relay;

// The interpreter's own allocations are not freed at exit.
extern "C" const char *__asan_default_options() { return "detect_leaks=0"; }

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "relay_records: %s\n", what);
    if (PyErr_Occurred()) PyErr_Print();
    std::abort();
}

// Input reader: past the end every read gives zeros.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : p_(data), left_(size) {}
    bool empty() const { return left_ == 0; }
    std::uint8_t u8() {
        if (left_ == 0) return 0;
        --left_;
        return *p_++;
    }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k) v |= std::uint32_t(u8()) << (8 * k);
        return v;
    }
    // Up to `max` bytes, the count taken from the input.
    std::string bytes(std::size_t max) {
        const std::size_t n = std::min<std::size_t>(u8() % (max + 1), left_);
        std::string out(reinterpret_cast<const char *>(p_), n);
        p_ += n;
        left_ -= n;
        return out;
    }
    void fill(void *dst, std::size_t n) {
        const std::size_t k = std::min(n, left_);
        std::memcpy(dst, p_, k);
        std::memset(static_cast<char *>(dst) + k, 0, n - k);
        p_ += k;
        left_ -= k;
    }

private:
    const std::uint8_t *p_;
    std::size_t left_;
};

// ---------------------------------------------------------------------------
// Python helpers
// ---------------------------------------------------------------------------

constexpr const char kHelpers[] = R"PY(
class HookError(Exception):
    pass

target = None    # the dict being converted
closer = None    # closes the session under conversion

class Hook:
    """A number whose conversion runs code first."""
    def __init__(self, value, action):
        self.value, self.action = value, action
    def _run(self):
        if self.action == 1:
            raise HookError("hook")
        if self.action == 2 and target is not None:
            target.clear()
        if self.action == 3:
            closer()
        if self.action == 4 and target is not None:
            for k in list(target):
                target[k] = object()
        return self.value
    def __index__(self):
        return self._run()
    def __float__(self):
        return self._run()

class Key(str):
    """A key that compares like its text, or raises."""
    raises = False
    def __hash__(self):
        return str.__hash__(self)
    def __eq__(self, other):
        if Key.raises:
            raise HookError("key")
        return str.__eq__(self, other)

class Fields(dict):
    pass
)PY";

// Kept for the process: the helpers' namespace and the module's functions.
PyObject *helpers, *hook_type, *hook_error, *key_type, *fields_type;
PyObject *poll_function, *request_function, *close_function;

PyObject *current = nullptr;  // the capsule of the session under conversion

PyObject *close_current(PyObject *, PyObject *) noexcept {
    if (current == nullptr) Py_RETURN_NONE;
    return PyObject_CallOneArg(close_function, current);
}
PyMethodDef closer_def = {"closer", close_current, METH_NOARGS, nullptr};

// ---------------------------------------------------------------------------
// A stand-in vendor object that checks each request record
// ---------------------------------------------------------------------------

// Every byte of the record outside the layout's fields must be zero, and
// every text field must keep its NUL.
template <class R> void check_record(const RecordLayout<R> &layout, const R *record) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(record);
    std::vector<bool> covered(sizeof(R), false);
    for (const Field &f : layout.fields) {
        if (f.offset + f.size > sizeof(R)) fail("field outside its record");
        for (std::size_t k = 0; k < f.size; ++k) covered[f.offset + k] = true;
        if (f.kind == Kind::Text && std::memchr(bytes + f.offset, 0, f.size) == nullptr)
            fail("request text field without NUL");
    }
    for (std::size_t k = 0; k < sizeof(R); ++k)
        if (!covered[k] && bytes[k] != 0) fail("a field the table does not name was written");
}

class CheckingApi final : public CThostFtdcTraderApi {
public:
    int calls = 0;
    int result = 0;

    void Release() override {}
    void Init() override {}
    void RegisterFront(char *) override {}
    void RegisterSpi(CThostFtdcTraderSpi *) override {}
    void SubscribePrivateTopic(THOST_TE_RESUME_TYPE, int) override {}
    void SubscribePublicTopic(THOST_TE_RESUME_TYPE) override {}

#define REQUEST(Method, R, layout)      \
    int Method(R *r, int) override {    \
        ++calls;                        \
        check_record(layout, r);        \
        return result;                  \
    }
    REQUEST(ReqAuthenticate, CThostFtdcReqAuthenticateField, kReqAuthenticate)
    REQUEST(ReqUserLogin, CThostFtdcReqUserLoginField, kReqUserLogin)
    REQUEST(ReqSettlementInfoConfirm, CThostFtdcSettlementInfoConfirmField, kReqSettlementInfoConfirm)
    REQUEST(ReqQryOrder, CThostFtdcQryOrderField, kReqQryOrder)
    REQUEST(ReqQryTrade, CThostFtdcQryTradeField, kReqQryTrade)
    REQUEST(ReqQryInvestorPosition, CThostFtdcQryInvestorPositionField, kReqQryInvestorPosition)
    REQUEST(ReqQryTradingAccount, CThostFtdcQryTradingAccountField, kReqQryTradingAccount)
    REQUEST(ReqQryInstrument, CThostFtdcQryInstrumentField, kReqQryInstrument)
    REQUEST(ReqOrderInsert, CThostFtdcInputOrderField, kReqOrderInsert)
    REQUEST(ReqOrderAction, CThostFtdcInputOrderActionField, kReqOrderAction)
#undef REQUEST
};

// A bridge session on the stand-in vendor object, and its capsule as
// create() makes it (without a destructor: the session is this object's).
struct Session {
    Spi spi;
    CheckingApi api;
    Ref capsule;

    Session() {
        spi.api = &api;
        capsule = Ref::steal(PyCapsule_New(&spi, "torvo.ctp", nullptr));
        if (!capsule) fail("making the capsule");
    }
    ~Session() {
        if (Py_REFCNT(capsule.get()) != 1) fail("the session's capsule was kept");
    }
};

// ---------------------------------------------------------------------------
// Callback records into event dictionaries
// ---------------------------------------------------------------------------

// What the event of one callback must hold.
struct EventCheck {
    const char *name;
    const Layout *layout = nullptr;  // of "data"; null for the connection events
    int request_id = 0;              // the reason of FrontDisconnected
    bool last = true;
    const unsigned char *data = nullptr;  // the record handed over, or null
    CThostFtdcRspInfoField error{};       // all zero when none was handed over
};

template <class R> R *record_from(Input &in, R &record, bool present) {
    in.fill(&record, sizeof record);
    return present ? &record : nullptr;
}

// Calls one callback of `spi` with records filled from the input (`storage`
// keeps the data record); returns what its event must look like.
EventCheck callback(Spi &spi, Input &in, std::vector<unsigned char> &storage) {
    const unsigned what = in.u8();
    const bool has_data = (what & 0x80) == 0;
    const bool has_info = (what & 0x40) == 0;
    const int request_id = static_cast<int>(in.u32());
    const bool last = (what & 0x20) != 0;
    CThostFtdcRspInfoField info_record;
    CThostFtdcRspInfoField *info = record_from(in, info_record, has_info);

    EventCheck check;
    const auto expect = [&](const char *name, const Layout &layout, const void *record, bool with_info,
                            bool response) {
        check.name = name;
        check.layout = &layout;
        if (record != nullptr) {
            const auto *bytes = static_cast<const unsigned char *>(record);
            storage.assign(bytes, bytes + layout.record_size);
            check.data = storage.data();
        }
        if (with_info && info != nullptr) check.error = *info;
        if (response) {
            check.request_id = request_id;
            check.last = last;
        }
        return check;
    };
#define RESPONSE(Method, R, Name, layout)                                         \
    {                                                                             \
        R record;                                                                 \
        R *p = record_from(in, record, has_data);                                 \
        spi.Method(p, info, request_id, last);                                    \
        return expect(Name, layout, p, true, true);                               \
    }
#define NOTICE(Method, R, Name, layout)                                           \
    {                                                                             \
        R record;                                                                 \
        R *p = record_from(in, record, has_data);                                 \
        spi.Method(p);                                                            \
        return expect(Name, layout, p, false, false);                             \
    }
#define ERROR_NOTICE(Method, R, Name, layout)                                     \
    {                                                                             \
        R record;                                                                 \
        R *p = record_from(in, record, has_data);                                 \
        spi.Method(p, info);                                                      \
        return expect(Name, layout, p, true, false);                              \
    }
    switch (what % 16) {
    case 0:
        spi.OnFrontConnected();
        check.name = "FrontConnected";
        return check;
    case 1:
        spi.OnFrontDisconnected(request_id);
        check.name = "FrontDisconnected";
        check.request_id = request_id;
        return check;
    case 2: RESPONSE(OnRspAuthenticate, CThostFtdcRspAuthenticateField, "RspAuthenticate", kRspAuthenticate)
    case 3: RESPONSE(OnRspUserLogin, CThostFtdcRspUserLoginField, "RspUserLogin", kRspUserLogin)
    case 4:
        RESPONSE(OnRspSettlementInfoConfirm, CThostFtdcSettlementInfoConfirmField, "RspSettlementInfoConfirm",
                 kRspSettlementInfoConfirm)
    case 5: RESPONSE(OnRspQryOrder, CThostFtdcOrderField, "RspQryOrder", kOrder)
    case 6: NOTICE(OnRtnOrder, CThostFtdcOrderField, "RtnOrder", kOrder)
    case 7: RESPONSE(OnRspQryTrade, CThostFtdcTradeField, "RspQryTrade", kTrade)
    case 8: NOTICE(OnRtnTrade, CThostFtdcTradeField, "RtnTrade", kTrade)
    case 9:
        RESPONSE(OnRspQryInvestorPosition, CThostFtdcInvestorPositionField, "RspQryInvestorPosition",
                 kInvestorPosition)
    case 10:
        RESPONSE(OnRspQryTradingAccount, CThostFtdcTradingAccountField, "RspQryTradingAccount", kTradingAccount)
    case 11: RESPONSE(OnRspQryInstrument, CThostFtdcInstrumentField, "RspQryInstrument", kInstrument)
    case 12: RESPONSE(OnRspOrderInsert, CThostFtdcInputOrderField, "RspOrderInsert", kInputOrderReply)
    case 13:
        ERROR_NOTICE(OnErrRtnOrderInsert, CThostFtdcInputOrderField, "ErrRtnOrderInsert", kInputOrderReply)
    case 14:
        RESPONSE(OnRspOrderAction, CThostFtdcInputOrderActionField, "RspOrderAction", kInputOrderActionReply)
    default:
        if (what & 0x10) ERROR_NOTICE(OnErrRtnOrderAction, CThostFtdcOrderActionField, "ErrRtnOrderAction",
                                      kOrderActionReply)
        spi.OnRspError(info, request_id, last);  // the response information is its record
        return expect("RspError", kRspInfo, info, true, true);
    }
#undef RESPONSE
#undef NOTICE
#undef ERROR_NOTICE
}

// A record dictionary: the layout's keys in table order, each value read
// from `record`: text up to its first NUL (at most the buffer) decoded as
// GB18030 with replacements, a char as the one character of its byte, the
// exact int and the exact double.
void check_record_dict(const Layout &layout, PyObject *dict, const unsigned char *record) {
    if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(layout.fields.size()))
        fail("record dictionary of the wrong shape");
    if (Py_REFCNT(dict) != 1) fail("record dictionary referenced elsewhere");
    Py_ssize_t pos = 0, index = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        const Field &field = layout.fields[static_cast<std::size_t>(index++)];
        if (key != field.key.get()) fail("record keys out of table order");
        const unsigned char *at = record + field.offset;
        switch (field.kind) {
        case Kind::Text: {
            const char *text = reinterpret_cast<const char *>(at);
            const void *nul = std::memchr(text, 0, field.size);
            const std::size_t n = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - text) : field.size;
            Ref expected = Ref::steal(PyUnicode_Decode(text, static_cast<Py_ssize_t>(n), "gb18030", "replace"));
            if (!expected) fail("decoding the expected text");
            if (!PyUnicode_CheckExact(value) || PyUnicode_Compare(value, expected.get()) != 0)
                fail("text value differs from its buffer");
            break;
        }
        case Kind::Char:
            if (!PyUnicode_CheckExact(value) || PyUnicode_GET_LENGTH(value) != 1 ||
                PyUnicode_READ_CHAR(value, 0) != *at)
                fail("char value differs from its byte");
            break;
        case Kind::Int: {
            int expected;
            std::memcpy(&expected, at, sizeof expected);
            if (!PyLong_CheckExact(value) || PyLong_AsLong(value) != expected) fail("int value differs");
            break;
        }
        case Kind::Float: {
            const double got = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : 0.0;
            if (!PyFloat_CheckExact(value) || std::memcmp(&got, at, sizeof got) != 0) fail("float value differs");
            break;
        }
        }
    }
}

PyObject *item(PyObject *event, const char *key) {
    PyObject *value = PyDict_GetItemString(event, key);
    if (value == nullptr) fail("an event key is missing");
    return value;
}

void check_event(const EventCheck &expected, PyObject *event) {
    if (!PyDict_CheckExact(event) || Py_REFCNT(event) != 1) fail("event is not a fresh dict");
    if (PyUnicode_CompareWithASCIIString(item(event, "name"), expected.name) != 0) fail("event name");
    if (expected.layout == nullptr) {
        const bool connected = std::strcmp(expected.name, "FrontConnected") == 0;
        if (PyDict_GET_SIZE(event) != (connected ? 1 : 2)) fail("connection event keys");
        if (!connected && PyLong_AsLong(item(event, "reason")) != expected.request_id) fail("disconnect reason");
        return;
    }
    if (PyDict_GET_SIZE(event) != 5) fail("event keys");
    PyObject *data = item(event, "data");
    if ((data == Py_None) != (expected.data == nullptr)) fail("data is None, or should be");
    if (expected.data != nullptr) check_record_dict(*expected.layout, data, expected.data);
    check_record_dict(kRspInfo, item(event, "error"), reinterpret_cast<const unsigned char *>(&expected.error));
    PyObject *request_id = item(event, "request_id");
    if (!PyLong_CheckExact(request_id) || PyLong_AsLong(request_id) != expected.request_id) fail("request_id");
    if (item(event, "last") != (expected.last ? Py_True : Py_False)) fail("last");
}

void callbacks(Input &in) {
    Session session;
    std::vector<EventCheck> expected;
    std::vector<std::vector<unsigned char>> records;  // the data records handed over
    records.reserve(8);
    const unsigned what = in.u8();
    for (unsigned k = 0; k <= what % 8 && !in.empty(); ++k) {
        records.emplace_back();
        expected.push_back(callback(session.spi, in, records.back()));
    }
    if (what & 0x80) {  // events queued before a close are still delivered
        Ref closed = Ref::steal(PyObject_CallOneArg(close_function, session.capsule.get()));
        if (closed.get() != Py_None) fail("close() did not return None");
    }
    Ref events = Ref::steal(PyObject_CallOneArg(poll_function, session.capsule.get()));
    if (!events) fail("poll() failed");
    if (!PyList_CheckExact(events.get()) || PyList_GET_SIZE(events.get()) != static_cast<Py_ssize_t>(expected.size()))
        fail("poll() lost or added an event");
    for (std::size_t k = 0; k < expected.size(); ++k)
        check_event(expected[k], PyList_GET_ITEM(events.get(), static_cast<Py_ssize_t>(k)));
    Ref again = Ref::steal(PyObject_CallOneArg(poll_function, session.capsule.get()));
    if (!again || !PyList_CheckExact(again.get()) || PyList_GET_SIZE(again.get()) != 0)
        fail("a second poll() was not empty");
}

// ---------------------------------------------------------------------------
// Request dictionaries into request records
// ---------------------------------------------------------------------------

struct RequestKind {
    const char *name;
    const Layout *layout;
};

const RequestKind kRequests[] = {
    {"Authenticate", &kReqAuthenticate},       {"UserLogin", &kReqUserLogin},
    {"SettlementInfoConfirm", &kReqSettlementInfoConfirm}, {"QryOrder", &kReqQryOrder},
    {"QryTrade", &kReqQryTrade},               {"QryInvestorPosition", &kReqQryInvestorPosition},
    {"QryTradingAccount", &kReqQryTradingAccount}, {"QryInstrument", &kReqQryInstrument},
    {"OrderInsert", &kReqOrderInsert},         {"OrderAction", &kReqOrderAction},
};

// A str from input bytes: ASCII, Latin-1, UTF-8 with lone surrogates kept,
// or code points anywhere in the range.
PyObject *text(Input &in, std::size_t max) {
    const std::string raw = in.bytes(max);
    const auto n = static_cast<Py_ssize_t>(raw.size());
    switch (in.u8() % 4) {
    case 0: {
        std::string ascii = raw;
        for (char &c : ascii) c = static_cast<char>(c & 0x7F);
        return PyUnicode_DecodeASCII(ascii.data(), n, nullptr);
    }
    case 1: return PyUnicode_DecodeLatin1(raw.data(), n, nullptr);
    case 2: return PyUnicode_DecodeUTF8(raw.data(), n, "surrogateescape");
    default: {
        std::vector<Py_UCS4> points;
        for (std::size_t k = 0; k + 2 < raw.size(); k += 3) {
            const Py_UCS4 cp = (std::uint8_t(raw[k]) | std::uint8_t(raw[k + 1]) << 8 | std::uint8_t(raw[k + 2]) << 16) %
                               0x110000;
            points.push_back(cp);
        }
        return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, points.data(), static_cast<Py_ssize_t>(points.size()));
    }
    }
}

// An int of up to 80 bits, of either sign.
PyObject *integer(Input &in) {
    const std::string raw = in.bytes(10);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string digits = raw.empty() || (raw[0] & 1) == 0 ? "0x0" : "-0x0";
    for (char c : raw) {
        digits.push_back(kHex[(static_cast<unsigned char>(c) >> 4) & 0xF]);
        digits.push_back(kHex[static_cast<unsigned char>(c) & 0xF]);
    }
    return PyLong_FromString(digits.c_str(), nullptr, 0);
}

PyObject *value(Input &in, bool &plain) {
    switch (in.u8() % 12) {
    case 0:
    case 1: return text(in, 90);
    case 2: return integer(in);
    case 3: return PyLong_FromLong(static_cast<std::int8_t>(in.u8()));
    case 4: {
        double d;
        std::uint64_t bits = std::uint64_t(in.u32()) | std::uint64_t(in.u32()) << 32;
        std::memcpy(&d, &bits, sizeof d);
        return PyFloat_FromDouble(d);
    }
    case 5: return Py_NewRef(in.u8() & 1 ? Py_True : Py_False);
    case 6: return Py_NewRef(Py_None);
    case 7: {
        const std::string raw = in.bytes(20);
        return PyBytes_FromStringAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size()));
    }
    case 8: {  // a str subclass
        Ref base = Ref::steal(text(in, 20));
        if (!base) return nullptr;
        return PyObject_CallOneArg(key_type, base.get());
    }
    default: {
        plain = false;
        const unsigned action = in.u8() % 5;
        Ref inner;
        switch (in.u8() % 4) {
        case 0: inner = Ref::steal(integer(in)); break;
        case 1: inner = Ref::steal(PyFloat_FromDouble(static_cast<std::int8_t>(in.u8()) / 4.0)); break;
        case 2: inner = Ref::steal(text(in, 4)); break;  // a wrong type from the hook
        default: inner = Ref::steal(PyLong_FromLong(7)); break;
        }
        if (!inner) return nullptr;
        return PyObject_CallFunction(hook_type, "OI", inner.get(), static_cast<int>(action));
    }
    }
}

PyObject *key(Input &in, const Layout &layout, bool &plain) {
    const unsigned what = in.u8();
    if ((what & 0xC0) == 0x40) return text(in, 12);  // some other key
    const Field &field = layout.fields[(what & 0x3F) % layout.fields.size()];
    if (what & 0x80) {
        plain = false;
        return PyObject_CallOneArg(key_type, field.key.get());
    }
    return Py_NewRef(field.key.get());
}

bool allowed(PyObject *error) {
    return PyErr_GivenExceptionMatches(error, PyExc_TypeError) ||
           PyErr_GivenExceptionMatches(error, PyExc_ValueError) ||
           PyErr_GivenExceptionMatches(error, PyExc_OverflowError) ||
           PyErr_GivenExceptionMatches(error, PyExc_RuntimeError) ||
           PyErr_GivenExceptionMatches(error, hook_error);
}

void request(Input &in) {
    const unsigned what = in.u8();
    const RequestKind &kind = kRequests[what % 10];
    Ref method;
    if (what % 23 == 22) {
        method = Ref::steal(text(in, 24));  // some other name
    } else if (what % 23 == 21) {
        method = Ref::steal(PyBytes_FromString(kind.name));  // not a str
    } else {
        method = Ref::steal(PyUnicode_FromString(kind.name));  // not the interned name
    }
    Ref fields = Ref::steal(what & 0x40 ? PyObject_CallNoArgs(fields_type) : PyDict_New());
    if (!method || !fields) fail("making the request arguments");

    if (PyObject_SetAttrString(key_type, "raises", Py_False) < 0) fail("clearing Key.raises");
    bool plain = true;
    std::vector<Ref> held;  // every key and value, to compare reference counts after
    const unsigned count = in.u8() % 24;
    for (unsigned k = 0; k < count; ++k) {
        Ref name = Ref::steal(key(in, *kind.layout, plain));
        Ref item = Ref::steal(value(in, plain));
        if (!name || !item || PyDict_SetItem(fields.get(), name.get(), item.get()) < 0) fail("filling the dict");
        held.push_back(name);
        held.push_back(item);
    }
    std::vector<Py_ssize_t> counts;
    for (const Ref &r : held) counts.push_back(Py_REFCNT(r.get()));
    if (PyObject_SetAttrString(helpers, "target", fields.get()) < 0) fail("setting the hook target");
    PyObject *key_flag = (what & 0x20) ? Py_True : Py_False;
    if (PyObject_SetAttrString(key_type, "raises", key_flag) < 0) fail("setting Key.raises");

    Session session;
    session.api.result = static_cast<int>(what) - 128;
    Ref request_id = Ref::steal(what % 29 == 28 ? integer(in) : PyLong_FromLong(static_cast<std::int32_t>(in.u32())));
    if (!request_id) fail("making the request id");
    Ref args = Ref::steal(PyTuple_Pack(4, session.capsule.get(), method.get(), fields.get(), request_id.get()));
    if (!args) fail("making the arguments");
    current = session.capsule.get();
    Ref result = Ref::steal(PyObject_Call(request_function, args.get(), nullptr));
    current = nullptr;
    args.reset();

    if (result) {
        if (PyErr_Occurred()) fail("a result with an exception set");
        if (session.api.calls != 1 || !PyLong_CheckExact(result.get()) ||
            PyLong_AsLong(result.get()) != session.api.result)
            fail("the vendor's result was not returned");
    } else {
        PyObject *type = PyErr_Occurred();
        if (type == nullptr) fail("a failure without an exception");
        if (!allowed(type)) fail("an undocumented exception");
        if (session.api.calls != 0) fail("a request was sent although its conversion failed");
        PyErr_Clear();
    }
    if (PyObject_SetAttrString(helpers, "target", Py_None) < 0) fail("clearing the hook target");
    if (plain) {  // objects only this function and the dict hold (no cached small ints, True, None)
        for (std::size_t k = 0; k < held.size(); ++k)
            if (counts[k] == 2 && Py_REFCNT(held[k].get()) != counts[k]) fail("a reference was leaked or lost");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    PyPreConfig pre;
    PyPreConfig_InitIsolatedConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;  // every object visible to the address sanitizer
    if (PyStatus_Exception(Py_PreInitialize(&pre))) fail("pre-initialising Python");
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.site_import = 0;
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) fail("initialising Python");

    Ref relay = Ref::steal(PyInit__relay());
    if (!relay) fail("initialising the bridge module");
    poll_function = PyObject_GetAttrString(relay.get(), "poll");
    request_function = PyObject_GetAttrString(relay.get(), "request");
    close_function = PyObject_GetAttrString(relay.get(), "close");
    if (!poll_function || !request_function || !close_function) fail("the module's functions");
    relay.release();  // kept for the process

    Ref module = Ref::steal(PyModule_New("fuzz_helpers"));
    if (!module) fail("helper module");
    helpers = module.release();
    PyObject *ns = PyModule_GetDict(helpers);
    if (PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) < 0) fail("helper builtins");
    Ref ran = Ref::steal(PyRun_String(kHelpers, Py_file_input, ns, ns));
    if (!ran) fail("helper code");
    Ref closer = Ref::steal(PyCFunction_New(&closer_def, nullptr));
    if (!closer || PyDict_SetItemString(ns, "closer", closer.get()) < 0) fail("closer");
    hook_type = PyDict_GetItemString(ns, "Hook");
    hook_error = PyDict_GetItemString(ns, "HookError");
    key_type = PyDict_GetItemString(ns, "Key");
    fields_type = PyDict_GetItemString(ns, "Fields");
    if (!hook_type || !hook_error || !key_type || !fields_type) fail("helper names");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in(data, size);
    while (!in.empty()) {
        if (in.u8() & 1) {
            request(in);
        } else {
            callbacks(in);
        }
    }
    return 0;
}
