// C++20 coroutines presented to Python as coroutine objects.
//
// A native coroutine body returns `torvo::coro::Coroutine`:
//
//     torvo::coro::Coroutine body(Session *self, nb::handle symbol) {
//         nb::object value = co_await some_python_awaitable();
//         co_return torvo::coro::result(value);   // or plain `co_return;` for None
//     }
//
// and a binding hands it to Python with
// `body(self, symbol).bind(owner, "Session.method", symbol)`.  Python then
// sees an object with `__await__`, `send`, `throw`, `close`, `__iter__` and
// `__next__`, which asyncio accepts as a coroutine (`asyncio.iscoroutine`,
// `asyncio.create_task`, cancellation).
//
// `co_await x` in a body takes any Python awaitable.  The body is suspended,
// and everything the awaitable's iterator yields (a Future or None under
// asyncio) is handed up to whoever drives the coroutine, as `await` would.
// When the awaitable finishes, its result becomes the value of `co_await`;
// when it fails, or an exception is thrown into the coroutine, the exception
// surfaces at the `co_await` as `nb::python_error`, which the body may catch
// or let through.  What the body passes to `result` leaves as
// `StopIteration.value`.
//
// Rules for bodies:
// - Every path ends in `co_return result(value);`, `co_return;` or an
//   exception.  Flowing off the end is the same as `co_return;` (the result is
//   None): it is defined, never undefined behaviour.
// - No `co_await` inside a `catch` block (the language forbids it); catch,
//   remember, and await after the handler.
// - Dropping a suspended coroutine (the Python object freed, or `close()`)
//   destroys the frame: the destructors of the body's locals run, no code
//   after the suspension point does.  `close()` first throws GeneratorExit in
//   at the `co_await`, so a body may clean up in a handler for it.
// - A coroutine that is freed without ever being started warns
//   `RuntimeWarning: coroutine '<qualname>' was never awaited`, as Python's do.
//
// Garbage collection: the Python type takes part in cyclic GC.  It reports
// the owner given to `bind`, the extra references given to `bind`, the
// awaited iterator and the values in transit.  The GC cannot see into the
// C++ frame, so a body's parameters are `nb::handle`s of objects passed to
// `bind` as extras (which keeps them alive and visible), and a body holds
// other Python references across a `co_await` only when they cannot lead back
// to the coroutine.  `co_await f()` on a temporary is fine, since the
// awaitable is moved out of the temporary before the body suspends.
//
// Adding a coroutine method: write the body as above, bind it with
// `cls.def("name", [](Self self, nb::handle a) { return body(self.p, a).bind(self.h, "Type.name", a); },
// "a"_a.none(), nb::sig("def name(self, a: T) -> Coroutine[Any, Any, R]"))`, and
// declare it in the module's stub as `async def name(self, a: T) -> R`.
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <exception>
#include <utility>
#include <vector>

#include "common/errors.h"

namespace torvo::coro {

namespace nb = nanobind;

class Coroutine;

namespace detail {

// getattr(obj, name) that returns an empty handle instead of raising
// AttributeError; throws on any other error.
inline nb::object optional_attr(nb::handle obj, const char *name) {
    PyObject *out = PyObject_GetAttrString(obj.ptr(), name);
    if (out == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
    }
    return nb::steal(out);
}

// Makes `exc` (an exception instance) the current Python error.
inline void restore(nb::handle exc) noexcept { errors::give(nb::borrow(exc).release().ptr()); }

// Takes the current Python error as an exception instance.
inline nb::object fetch() noexcept { return nb::steal(errors::take()); }

// `await`'s first step: the iterator behind an awaitable.
inline nb::object await_iter(nb::handle awaitable) {
    PyTypeObject *type = Py_TYPE(awaitable.ptr());
    unaryfunc get = type->tp_as_async != nullptr ? type->tp_as_async->am_await : nullptr;
    if (get == nullptr)
        errors::throw_error(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                            type->tp_name);
    nb::object it = nb::steal(get(awaitable.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    if (!PyIter_Check(it.ptr()))
        errors::throw_error(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                            Py_TYPE(it.ptr())->tp_name);
    return it;
}

}  // namespace detail

struct Promise;

// The promise of the body being resumed on this thread (bodies resume one
// inside another when one native coroutine awaits another).
inline thread_local Promise *resuming = nullptr;

struct Promise {
    nb::object owner;     // object the body works on; kept alive and shown to the GC
    std::vector<nb::object> extras;  // the body's arguments, kept alive and shown to the GC
    nb::object awaiting;  // iterator of the awaitable the body is suspended on
    nb::object sent;      // result handed to the body when it resumes
    nb::object thrown;    // exception raised in the body when it resumes
    nb::object result;    // value of co_return
    std::exception_ptr error;

    Coroutine get_return_object() noexcept;
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { error = std::current_exception(); }

    struct Awaiter {
        Promise *promise;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) const noexcept {}
        nb::object await_resume() const {
            if (promise->thrown.is_valid()) {
                nb::object exc = std::move(promise->thrown);
                detail::restore(exc);
                throw nb::python_error();
            }
            return std::move(promise->sent);
        }
    };

    // Taken by value so that a temporary awaitable is moved out of the
    // frame: only the iterator, which the GC can see, stays referenced.
    Awaiter await_transform(nb::object awaitable) {
        nb::object it = detail::await_iter(awaitable);
        awaitable.reset();
        awaiting = std::move(it);
        return Awaiter{this};
    }
};

// The value the body returns: `co_return result(value);`.
inline void result(nb::object value) noexcept {
    if (resuming != nullptr) resuming->result = std::move(value);
}

class Coroutine {
public:
    using promise_type = Promise;
    using Handle = std::coroutine_handle<Promise>;

    explicit Coroutine(Handle handle) noexcept : handle_(handle) {}
    Coroutine(Coroutine &&other) noexcept
        : handle_(std::exchange(other.handle_, {})),
          state_(std::exchange(other.state_, State::Done)),
          qualname_(other.qualname_) {}
    Coroutine(const Coroutine &) = delete;
    Coroutine &operator=(const Coroutine &) = delete;
    Coroutine &operator=(Coroutine &&) = delete;
    ~Coroutine() {
        if (handle_ && state_ == State::Created) warn_never_awaited();
        release();
    }

    // Ties the coroutine to the object it works on, names it, and keeps the
    // body's arguments alive (and visible to the GC) for as long as it lives.
    template <class... Extra>
    Coroutine &&bind(nb::handle owner, const char *qualname, Extra... extra) && {
        if (handle_) {
            Promise &p = handle_.promise();
            p.owner = nb::borrow(owner);
            p.extras.reserve(sizeof...(extra));
            (p.extras.push_back(nb::borrow(nb::handle(extra))), ...);
        }
        qualname_ = qualname;
        return std::move(*this);
    }

    nb::object send(nb::handle value) {
        enter();
        if (state_ == State::Created && !value.is_none())
            errors::throw_error(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return advance(false, nb::borrow(value));
    }

    // throw(exc) and the older throw(type[, value[, traceback]]).
    nb::object throw_(nb::handle type, nb::handle value, nb::handle tb) {
        nb::object exc = make_exception(type, value, tb);
        if (state_ == State::Running) errors::throw_error(PyExc_ValueError, "coroutine already executing");
        if (state_ != State::Suspended) {
            // Not started or already finished: the exception comes straight
            // back and the coroutine is closed, as with a Python coroutine.
            release();
            detail::restore(exc);
            throw nb::python_error();
        }
        return advance(true, std::move(exc));
    }

    nb::object close() {
        if (state_ == State::Running) errors::throw_error(PyExc_ValueError, "coroutine already executing");
        if (state_ != State::Suspended) {
            release();
            return nb::none();
        }
        nb::object exit = nb::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
        if (!exit.is_valid()) throw nb::python_error();
        try {
            advance(true, std::move(exit));
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_GeneratorExit) || e.matches(PyExc_StopIteration)) return nb::none();
            throw;
        }
        errors::throw_error(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    }

    bool running() const noexcept { return state_ == State::Running; }
    bool finished() const noexcept { return state_ == State::Done; }
    const char *qualname() const noexcept { return qualname_; }
    nb::object awaited() const {
        if (handle_ && handle_.promise().awaiting.is_valid()) return handle_.promise().awaiting;
        return nb::none();
    }

    int traverse(visitproc visit, void *arg) const {
        if (!handle_) return 0;
        const Promise &p = handle_.promise();
        Py_VISIT(p.owner.ptr());
        for (const nb::object &extra : p.extras) Py_VISIT(extra.ptr());
        Py_VISIT(p.awaiting.ptr());
        Py_VISIT(p.sent.ptr());
        Py_VISIT(p.thrown.ptr());
        Py_VISIT(p.result.ptr());
        return 0;
    }

    // Breaks reference cycles: drops the frame and with it every reference
    // the body holds.  A running body is left alone.  A coroutine never
    // started warns first, as it would when freed outside a cycle.
    void clear() noexcept {
        if (handle_ && state_ == State::Created) warn_never_awaited();
        if (state_ != State::Running) release();
    }

    static int tp_traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (!nb::inst_ready(self)) return 0;
        return nb::inst_ptr<Coroutine>(self)->traverse(visit, arg);
    }

    static int tp_clear(PyObject *self) {
        if (nb::inst_ready(self)) nb::inst_ptr<Coroutine>(self)->clear();
        return 0;
    }

    // __name__ and __qualname__ of the instance, as on Python coroutines.
    static PyObject *get_qualname(PyObject *self, void *) {
        const char *q = nb::inst_ready(self) ? nb::inst_ptr<Coroutine>(self)->qualname() : "coroutine";
        return PyUnicode_FromString(q);
    }

    static PyObject *get_name(PyObject *self, void *) {
        const char *q = nb::inst_ready(self) ? nb::inst_ptr<Coroutine>(self)->qualname() : "coroutine";
        const char *dot = nullptr;
        for (const char *c = q; *c != '\0'; ++c)
            if (*c == '.') dot = c;
        return PyUnicode_FromString(dot != nullptr ? dot + 1 : q);
    }

private:
    enum class State : unsigned char { Created, Suspended, Running, Done };

    // The warning Python gives for a coroutine freed before it started.  Runs
    // while the object is being freed, so an error it raises (warnings turned
    // into errors) is reported as unraisable, and an error already set is
    // kept.
    void warn_never_awaited() const noexcept {
        PyObject *pending = errors::take();
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited", qualname_) < 0)
            PyErr_WriteUnraisable(nullptr);
        errors::give(pending);
    }

    void enter() {
        if (state_ == State::Running) errors::throw_error(PyExc_ValueError, "coroutine already executing");
        if (state_ == State::Done) errors::throw_error(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    }

    // Destroys the frame (running the destructors of the body's locals).
    void release() noexcept {
        state_ = State::Done;
        if (handle_) std::exchange(handle_, {}).destroy();
    }

    static nb::object make_exception(nb::handle type, nb::handle value, nb::handle tb) {
        nb::object exc;
        if (PyExceptionInstance_Check(type.ptr())) {
            if (!value.is_none())
                errors::throw_error(PyExc_TypeError, "instance exception may not have a separate value");
            exc = nb::borrow(type);
        } else if (PyExceptionClass_Check(type.ptr())) {
            if (PyObject_TypeCheck(value.ptr(), (PyTypeObject *)type.ptr())) {
                exc = nb::borrow(value);
            } else if (value.is_none()) {
                exc = nb::steal(PyObject_CallNoArgs(type.ptr()));
            } else if (PyTuple_Check(value.ptr())) {
                exc = nb::steal(PyObject_Call(type.ptr(), value.ptr(), nullptr));
            } else {
                exc = nb::steal(PyObject_CallOneArg(type.ptr(), value.ptr()));
            }
            if (!exc.is_valid()) throw nb::python_error();
            if (!PyExceptionInstance_Check(exc.ptr()))
                errors::throw_error(
                    PyExc_TypeError,
                    "calling %R should have returned an instance of BaseException, not %s",
                    type.ptr(), Py_TYPE(exc.ptr())->tp_name);
        } else {
            errors::throw_error(
                PyExc_TypeError,
                "exceptions must be classes or instances deriving from BaseException, not %s",
                Py_TYPE(type.ptr())->tp_name);
        }
        if (!tb.is_none()) {
            if (!PyTraceBack_Check(tb.ptr()))
                errors::throw_error(PyExc_TypeError, "throw() third argument must be a traceback object");
            if (PyException_SetTraceback(exc.ptr(), tb.ptr()) < 0) throw nb::python_error();
        }
        return exc;
    }

    // Hands an exception to the awaited iterator the way `await` does: a
    // GeneratorExit closes the iterator and is then raised in the body; any
    // other exception goes to the iterator's `throw`, or straight to the
    // body when it has none.
    static PySendResult throw_to(nb::handle it, nb::handle exc, PyObject **out) {
        if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_GeneratorExit)) {
            nb::object close = detail::optional_attr(it, "close");
            if (close.is_valid()) {
                nb::object r = nb::steal(PyObject_CallNoArgs(close.ptr()));
                if (!r.is_valid()) return PYGEN_ERROR;  // its own error replaces GeneratorExit
            }
            detail::restore(exc);
            return PYGEN_ERROR;
        }
        nb::object meth = detail::optional_attr(it, "throw");
        if (!meth.is_valid()) {
            detail::restore(exc);
            return PYGEN_ERROR;
        }
        *out = PyObject_CallOneArg(meth.ptr(), exc.ptr());
        if (*out != nullptr) return PYGEN_NEXT;
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
        nb::object stop = detail::fetch();
        *out = PyObject_GetAttrString(stop.ptr(), "value");
        return *out != nullptr ? PYGEN_RETURN : PYGEN_ERROR;
    }

    // Runs the coroutine until something is yielded up (returned) or the
    // body ends (StopIteration or the body's exception, thrown).
    nb::object advance(bool throwing, nb::object arg) {
        for (;;) {
            Promise &p = handle_.promise();
            state_ = State::Running;
            if (p.awaiting.is_valid()) {
                PyObject *out = nullptr;
                PySendResult r;
                try {
                    r = throwing ? throw_to(p.awaiting, arg, &out)
                                 : PyIter_Send(p.awaiting.ptr(), arg.ptr(), &out);
                } catch (...) {
                    state_ = State::Suspended;
                    throw;
                }
                if (r == PYGEN_NEXT) {
                    state_ = State::Suspended;
                    return nb::steal(out);
                }
                p.awaiting.reset();
                if (r == PYGEN_RETURN)
                    p.sent = nb::steal(out);
                else
                    p.thrown = detail::fetch();
            }
            // Without an awaited iterator the body has not started: only
            // send() gets here (throw() and close() handle that state first).
            Promise *outer = std::exchange(resuming, &p);
            handle_.resume();
            resuming = outer;
            if (handle_.done()) finish();
            throwing = false;
            arg = nb::none();
        }
    }

    [[noreturn]] void finish() {
        Promise &p = handle_.promise();
        nb::object result = std::move(p.result);
        std::exception_ptr error = std::exchange(p.error, nullptr);
        release();
        if (error) {
            try {
                std::rethrow_exception(error);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_StopIteration)) throw;
                // A StopIteration leaving the body must not pass for its result.
                e.restore();
                nb::object cause = detail::fetch();
                nb::object err = nb::steal(
                    PyObject_CallOneArg(PyExc_RuntimeError, nb::str("coroutine raised StopIteration").ptr()));
                if (!err.is_valid()) throw nb::python_error();
                PyException_SetCause(err.ptr(), nb::borrow(cause).release().ptr());
                PyException_SetContext(err.ptr(), cause.release().ptr());
                detail::restore(err);
                throw nb::python_error();
            }
        }
        // StopIteration(result) built explicitly, so that a tuple result is
        // the value and not the exception's argument list.
        if (!result.is_valid()) result = nb::none();
        nb::object stop = nb::steal(PyObject_CallOneArg(PyExc_StopIteration, result.ptr()));
        if (!stop.is_valid()) throw nb::python_error();
        detail::restore(stop);
        throw nb::python_error();
    }

    Handle handle_;
    State state_ = State::Created;
    const char *qualname_ = "coroutine";
};

inline Coroutine Promise::get_return_object() noexcept {
    return Coroutine(Coroutine::Handle::from_promise(*this));
}

// Registers the Python type of the coroutines of one extension module.
inline void bind(nb::handle scope, const char *name) {
    // Instance getters added as slots: setting these names as attributes
    // would rename the type itself.
    static PyGetSetDef getset[] = {
        {"__name__", &Coroutine::get_name, nullptr, nullptr, nullptr},
        {"__qualname__", &Coroutine::get_qualname, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_traverse, (void *)&Coroutine::tp_traverse},
        {Py_tp_clear, (void *)&Coroutine::tp_clear},
        {Py_tp_getset, (void *)getset},
        {0, nullptr},
    };
    using namespace nb::literals;
    nb::class_<Coroutine>(scope, name, nb::type_slots(slots),
                          "Coroutine object of a native asynchronous method.")
        .def("send", &Coroutine::send, "value"_a.none())
        .def("throw", &Coroutine::throw_, "typ"_a.none(), "val"_a.none() = nb::none(), "tb"_a.none() = nb::none())
        .def("close", &Coroutine::close)
        .def("__await__", [](nb::handle self) { return nb::borrow(self); })
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](Coroutine &self) { return self.send(nb::none()); })
        .def_prop_ro("cr_running", &Coroutine::running)
        .def_prop_ro("cr_await", &Coroutine::awaited)
        .def_prop_ro("cr_frame", [](nb::handle) { return nb::none(); })
        .def_prop_ro("cr_code", [](nb::handle) { return nb::none(); })
        .def("__repr__", [](nb::handle self) {
            return nb::steal<nb::str>(PyUnicode_FromFormat(
                "<coroutine object %s at %p>", nb::inst_ptr<Coroutine>(self)->qualname(), self.ptr()));
        });
}

}  // namespace torvo::coro
