// torvo._relay: the bridge to the broker's trader library.
//
// A session is a capsule named "torvo.ctp" whose pointer is the Spi object
// that owns the vendor API object and the event queue.  The module has five
// functions: version, create, request, poll and close.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "ThostFtdcTraderApi.h"
#include "common/ref.h"
#include "records.h"
#include "request.h"
#include "spi.h"

namespace torvo::relay {
namespace {

constexpr const char kCapsuleName[] = "torvo.ctp";

// The session of a capsule; null with the host's capsule error otherwise.
Spi *session_of(PyObject *handle) noexcept {
    return static_cast<Spi *>(PyCapsule_GetPointer(handle, kCapsuleName));
}

// Stops the vendor: no callback runs once this returns.  Requests still in
// flight on other threads return first (and new ones see the session closed);
// the vendor joins its own threads.  The interpreter lock is released for
// both waits.
void shut_down(Spi *session) noexcept {
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
    gate.finish();
    Py_END_ALLOW_THREADS
}

void destroy_session(PyObject *capsule) noexcept {
    Spi *session = static_cast<Spi *>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (session == nullptr) {
        PyErr_Clear();
        return;
    }
    shut_down(session);
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
        return PyErr_NoMemory();
    }

    CThostFtdcTraderApi *api = CThostFtdcTraderApi::CreateFtdcTraderApi(flow_path, true);
    if (api == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "创建 CTP 接口失败");
        return nullptr;
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

PyObject *request(PyObject *, PyObject *args) noexcept {
    PyObject *handle = nullptr;
    PyObject *method = nullptr;
    PyObject *fields = nullptr;
    int request_id = 0;
    if (!PyArg_ParseTuple(args, "OUO!i:request", &handle, &method, &PyDict_Type, &fields, &request_id)) {
        return nullptr;
    }
    Spi *session = session_of(handle);
    if (session == nullptr) return nullptr;
    // The argument tuple already holds the capsule for the whole call; this
    // reference makes it independent of how the call was made, so the
    // capsule's destructor never runs under a request in flight.
    const Ref keep = Ref::borrow(handle);
    // Closed is reported before the request name is looked at.
    if (session->api == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, kClosedMessage);
        return nullptr;
    }
    return send_request(*session, method, fields, request_id);
}

PyObject *poll(PyObject *, PyObject *handle) noexcept {
    Spi *session = session_of(handle);
    if (session == nullptr) return nullptr;

    // Whatever this call takes is released with `batch`, also when a
    // conversion fails part way.
    try {
        Queue batch;
        if (!session->take(batch)) {
            PyErr_SetString(PyExc_BufferError, "CTP 回调队列已满");
            return nullptr;
        }
        Ref events = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.size())));
        if (!events) return nullptr;
        Py_ssize_t index = 0;
        for (const std::unique_ptr<Entry> &entry : batch) {
            PyObject *event = entry->build();
            if (event == nullptr) return nullptr;
            PyList_SET_ITEM(events.get(), index++, event);
        }
        return events.release();
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

PyObject *close(PyObject *, PyObject *handle) noexcept {
    Spi *session = session_of(handle);
    if (session == nullptr) return nullptr;
    shut_down(session);  // the queue stays with the capsule
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"version", version, METH_NOARGS, nullptr},
    {"create", create, METH_VARARGS, nullptr},
    {"request", request, METH_VARARGS, nullptr},
    {"poll", poll, METH_O, nullptr},
    {"close", close, METH_O, nullptr},
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
