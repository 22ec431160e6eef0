// torvo._relay: the bridge to the broker's trader library.
//
// A session is a capsule named "torvo.ctp" whose pointer is the Spi object
// that owns the vendor API object, the event queue and its wake-up.  The
// module has six functions: version, create, request, poll, wakeup and close,
// and two private hooks
// for bench/bench_relay.py that time the least work `poll` and `request` can
// do (_floor_order_events, _floor_request).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "ThostFtdcTraderApi.h"
#include "common/args.h"
#include "common/errors.h"
#include "common/ref.h"
#include "records.h"
#include "request.h"
#include "spi.h"
#include "wakeup.h"

namespace torvo::relay {
namespace {

constexpr const char kCapsuleName[] = "torvo.ctp";

// Closes the Python socket of the wake-up's reading end and drops it.
void close_reader(QueueSpi *session) noexcept {
    PyObject *reader = std::exchange(session->wake_reader, nullptr);
    if (reader == nullptr) return;
    PyObject *saved = errors::take();
    PyObject *done = PyObject_CallMethod(reader, "close", nullptr);
    if (done == nullptr) PyErr_WriteUnraisable(reader);
    Py_XDECREF(done);
    Py_DECREF(reader);
    errors::give(saved);
}

// Makes the session's wake-up and the Python socket of its reading end: a
// non-blocking socket.socket that owns the reading end from then on.  False
// with an exception set.
bool open_wakeup(QueueSpi &session) noexcept {
    if (!session.open_wakeup()) return errors::set_error_from_system(PyExc_OSError, Wakeup::last_error());
    const Wakeup::Socket fd = session.take_wake_reader();
    Ref socket_module = Ref::steal(PyImport_ImportModule("socket"));
    Ref socket_type = socket_module ? Ref::steal(PyObject_GetAttrString(socket_module.get(), "socket")) : Ref();
    Ref number = Ref::steal(PyLong_FromLongLong(static_cast<long long>(fd)));
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref keywords = Ref::steal(PyDict_New());
    if (!socket_type || !number || !no_args || !keywords ||
        PyDict_SetItemString(keywords.get(), "fileno", number.get()) < 0) {
        Wakeup::close_socket(fd);
        return false;
    }
    Ref reader = Ref::steal(PyObject_Call(socket_type.get(), no_args.get(), keywords.get()));
    if (!reader) {
        Wakeup::close_socket(fd);
        return false;
    }
    session.wake_reader = reader.release();  // closes the reading end from now on
    Ref done = Ref::steal(PyObject_CallMethod(session.wake_reader, "setblocking", "O", Py_False));
    return static_cast<bool>(done);
}

// The session of a capsule; null with the host's capsule error otherwise.
Spi *session_of(PyObject *handle) noexcept {
    return static_cast<Spi *>(PyCapsule_GetPointer(handle, kCapsuleName));
}

// Stops the vendor: no callback runs once this returns.  Requests still in
// flight on other threads return first (and new ones see the session closed);
// the vendor joins its own threads.  The interpreter lock is released for
// both waits.
void shut_down(Spi *session) noexcept {
    if (session->inherited()) {
        // A child of fork(): the vendor object, its thread and connection,
        // the gate's waiters and the wake-up are the parent's.  Closed here,
        // untouched.
        session->api = nullptr;
        return;
    }
    RequestGate &gate = session->gate;
    CThostFtdcTraderApi *api = std::exchange(session->api, nullptr);
    if (api == nullptr) {
        // Closed already, or being closed on another thread: return once
        // that shutdown is complete.
        if (!gate.finished()) {
            Py_BEGIN_ALLOW_THREADS
            gate.wait_finished();
            Py_END_ALLOW_THREADS
        }
        return;
    }
    Py_BEGIN_ALLOW_THREADS
    gate.drain();
    api->RegisterSpi(nullptr);
    api->Release();
    // No callback runs any more: the wake-up is never written again.
    session->close_wakeup();
    gate.finish();
    Py_END_ALLOW_THREADS
    close_reader(session);
}

void destroy_session(PyObject *capsule) noexcept {
    Spi *session = static_cast<Spi *>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (session == nullptr) {
        PyErr_Clear();
        return;
    }
    shut_down(session);
    close_reader(session);  // also a session that failed before its vendor was made
    // A child of fork() leaves the session alone: its locks may be held by
    // threads that only exist in the parent.  The child's copy of it goes
    // when the child exits.
    if (session->inherited()) return;
    delete session;  // with every entry still queued
}

PyObject *version(PyObject *, PyObject *) noexcept {
    const char *text = CThostFtdcTraderApi::GetApiVersion();
    if (text == nullptr) text = "";
    return PyUnicode_DecodeASCII(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
}

PyObject *create(PyObject *, PyObject *args) noexcept {
    const char *front_url = nullptr;
    const char *flow_path = nullptr;
    if (!PyArg_ParseTuple(args, "sy:create", &front_url, &flow_path)) return nullptr;

    std::unique_ptr<Spi> session;
    std::string front;
    try {
        session.reset(new Spi);
        front = front_url;  // the vendor takes a mutable buffer
    } catch (const std::bad_alloc &) {
        return errors::set_no_memory();
    }

    if (!open_wakeup(*session)) {
        close_reader(session.get());
        return nullptr;
    }
    CThostFtdcTraderApi *api = CThostFtdcTraderApi::CreateFtdcTraderApi(flow_path, true);
    if (api == nullptr) {
        close_reader(session.get());
        return errors::set_error(PyExc_RuntimeError, "创建 CTP 接口失败");
    }
    session->api = api;
    api->RegisterSpi(session.get());
    api->SubscribePrivateTopic(THOST_TERT_QUICK, 1);
    api->SubscribePublicTopic(THOST_TERT_QUICK);
    api->RegisterFront(front.data());

    Ref capsule = Ref::steal(PyCapsule_New(session.get(), kCapsuleName, destroy_session));
    if (!capsule) {
        shut_down(session.get());
        return nullptr;
    }
    session.release();  // the capsule's destructor frees it from now on

    Py_BEGIN_ALLOW_THREADS
    api->Init();
    Py_END_ALLOW_THREADS
    return capsule.release();
}

// request(handle, method, fields, request_id), positional only.  The
// arguments are checked in order, with the host's own errors, as the format
// "OUO!i" would check them, without building an argument tuple.
constexpr args::Signature kRequest{
    "request", {"handle", "method", "fields", "request_id"}, 4, 4, args::Wording::tuple};

PyObject *request(PyObject *, PyObject *const *args, Py_ssize_t nargs) noexcept {
    PyObject *arg[4];
    if (!args::bind(kRequest, args, nargs, nullptr, arg)) return nullptr;
    PyObject *handle = arg[0];
    PyObject *method = arg[1];
    PyObject *fields = arg[2];
    if (!PyUnicode_Check(method)) return args::wrong_type(kRequest, 1, "str", method);
    if (!PyDict_Check(fields)) return args::wrong_type(kRequest, 2, "dict", fields);
    const long wide_id = PyLong_AsLong(arg[3]);  // __index__ included, as the format's "i"
    if (wide_id == -1 && PyErr_Occurred()) return nullptr;
    if (wide_id > INT_MAX || wide_id < INT_MIN)
        return errors::set_error(PyExc_OverflowError, wide_id > INT_MAX
                                                          ? "signed integer is greater than maximum"
                                                          : "signed integer is less than minimum");
    const int request_id = static_cast<int>(wide_id);
    Spi *session = session_of(handle);
    if (session == nullptr) return nullptr;
    // The caller holds the arguments for the whole call; this reference
    // makes the capsule independent of how the call was made, so its
    // destructor never runs under a request in flight.
    const Ref keep = Ref::borrow(handle);
    // Closed is reported before the request name is looked at.
    if (session->api == nullptr || session->inherited())
        return errors::set_error(PyExc_RuntimeError, kClosedMessage);
    return send_request(*session, method, fields, request_id);
}

// A batch taken from a session's queue; its chunks go back to the session
// when the batch is done with, also when a conversion fails part way.
struct Batch {
    QueueSpi &session;
    Queue entries;
    ~Batch() { session.recycle(entries); }
};

PyObject *poll(PyObject *, PyObject *handle) noexcept {
    Spi *session = session_of(handle);
    if (session == nullptr) return nullptr;
    // A child of fork() sees a closed session that has nothing left: its
    // copy of the queue is guarded by a lock that a parent's thread may hold.
    if (session->inherited()) return PyList_New(0);
    // Held past the batch, which hands its chunks back to the session.
    const Ref keep = Ref::borrow(handle);

    Batch batch{*session, {}};
    if (!session->take(batch.entries)) return errors::set_error(PyExc_BufferError, "CTP 回调队列已满");
    Ref events = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.entries.size())));
    if (!events) return nullptr;
    Py_ssize_t index = 0;
    for (const Chunk *chunk = batch.entries.head(); chunk != nullptr; chunk = chunk->next) {
        for (std::uint32_t slot = 0; slot < chunk->used; ++slot) {
            PyObject *event = chunk->entries[slot].build();
            if (event == nullptr) return nullptr;
            PyList_SET_ITEM(events.get(), index++, event);
        }
    }
    return events.release();
}

// wakeup(handle): the socket the session writes one byte into when events
// arrive in its empty queue (or it overflows).  The same object every time;
// closed by close().
PyObject *wakeup(PyObject *, PyObject *handle) noexcept {
    Spi *session = session_of(handle);
    if (session == nullptr) return nullptr;
    if (session->api == nullptr || session->inherited() || session->wake_reader == nullptr)
        return errors::set_error(PyExc_RuntimeError, kClosedMessage);
    return Py_NewRef(session->wake_reader);
}

PyObject *close(PyObject *, PyObject *handle) noexcept {
    Spi *session = session_of(handle);
    if (session == nullptr) return nullptr;
    shut_down(session);  // the queue stays with the capsule
    Py_RETURN_NONE;
}

// _floor_order_events(data, count): `count` "RtnOrder" events holding the
// values of `data` (a dict with every order field, such as the "data" of an
// event `poll` returned), built without a queue or any conversion.
PyObject *floor_order_events(PyObject *, PyObject *args) noexcept {
    PyObject *data = nullptr;
    Py_ssize_t count = 0;
    if (!PyArg_ParseTuple(args, "O!n:_floor_order_events", &PyDict_Type, &data, &count)) return nullptr;
    if (count < 0) return errors::set_error(PyExc_ValueError, "count must not be negative");
    constexpr std::size_t kOrderFields = 19;
    if (kOrder.fields.size() != kOrderFields)
        return errors::set_error(PyExc_SystemError,
                                 "the order record changed: update _floor_order_events");
    Ref values[kOrderFields];
    PyObject *borrowed[kOrderFields];
    for (std::size_t i = 0; i < kOrderFields; ++i) {
        PyObject *value = PyDict_GetItemWithError(data, kOrder.fields[i].key);
        if (value == nullptr) {
            if (!PyErr_Occurred()) return errors::set_error(PyExc_KeyError, kOrder.fields[i].key);
            return nullptr;
        }
        values[i] = Ref::borrow(value);
        borrowed[i] = value;
    }
    return torvo::relay::floor_order_events(count, borrowed);
}

// _floor_request(handle, method, fields, request_id): the least an
// "OrderInsert" can cost: the arguments taken as they come, every key of the
// request looked up in `fields` without checking or converting its value,
// and the vendor call with a zero record, the interpreter lock released and
// the call counted in the gate as `request` does.  `method` is not looked at.
PyObject *floor_request(PyObject *, PyObject *const *args, Py_ssize_t nargs) noexcept {
    if (nargs != 4 || !PyDict_Check(args[2]))
        return errors::set_error(PyExc_TypeError,
                                 "_floor_request(handle, method, fields: dict, request_id)");
    Spi *session = session_of(args[0]);
    if (session == nullptr) return nullptr;
    const Ref keep = Ref::borrow(args[0]);
    const long wide_id = PyLong_AsLong(args[3]);
    if (wide_id == -1 && PyErr_Occurred()) return nullptr;
    if (wide_id < INT_MIN || wide_id > INT_MAX)
        return errors::set_error(PyExc_OverflowError, "request_id does not fit a C int");
    const int request_id = static_cast<int>(wide_id);
    for (const Field &field : kReqOrderInsert.fields) {
        if (PyDict_GetItemWithError(args[2], field.key) == nullptr && PyErr_Occurred()) return nullptr;
    }
    CThostFtdcTraderApi *api = session->api;
    if (api == nullptr || session->inherited())
        return errors::set_error(PyExc_RuntimeError, kClosedMessage);
    CThostFtdcInputOrderField record;
    std::memset(&record, 0, sizeof record);
    session->gate.enter();
    int result;
    Py_BEGIN_ALLOW_THREADS
    result = api->ReqOrderInsert(&record, request_id);
    session->gate.leave();
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(result);
}

PyMethodDef methods[] = {
    {"version", version, METH_NOARGS, nullptr},
    {"create", create, METH_VARARGS, nullptr},
    {"request", args::fast(request), METH_FASTCALL, nullptr},
    {"poll", poll, METH_O, nullptr},
    {"wakeup", wakeup, METH_O, nullptr},
    {"close", close, METH_O, nullptr},
    {"_floor_order_events", floor_order_events, METH_VARARGS, nullptr},
    {"_floor_request", args::fast(floor_request), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "torvo._relay",
    nullptr,  // no docstring
    -1,       // no per-module state; the tables are process-wide
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace torvo::relay

PyMODINIT_FUNC PyInit__relay(void) {
    using namespace torvo::relay;
    if (!init_records() || !init_events() || !init_requests()) return nullptr;
    return PyModule_Create(&module_def);
}
