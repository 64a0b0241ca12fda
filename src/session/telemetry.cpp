#include "session/telemetry.hpp"

#include <memory>
#include <vector>

#include "binding/first_error.hpp"
#include "binding/method_call.hpp"
#include "net/ip_address.hpp"
#include "session/py_received.hpp"

namespace qv::py {

namespace {

// The API's objects, looked up once for the process: the providers are the process's too.
struct Instruments {
  Ref tracer;
  Ref duration, in_flight, events, dropped, reconnects, gap, up, connected, completion;
  Ref client_kind;     // trace.SpanKind.CLIENT
  Ref status;          // trace.Status
  Ref error_code;      // trace.StatusCode.ERROR
  Ref start_span;      // the name "start_span"
  Ref end;             // "end"
  Ref set_attribute;   // "set_attribute"
};

// The instruments, as the documentation lists them (their attributes are said where they
// are recorded).
struct InstrumentEntry {
  Ref Instruments::*member;
  const char* factory;
  const char* name;
  const char* unit;
  const char* description;
};

const InstrumentEntry kInstruments[] = {
    {&Instruments::duration, "create_histogram", "quelvant.client.request.duration", "s",
     "From a request's line sent to its reply, or its failure"},
    {&Instruments::in_flight, "create_up_down_counter", "quelvant.client.requests.in_flight",
     "{request}", "Requests sent and not yet settled"},
    {&Instruments::events, "create_counter", "quelvant.client.events", "{event}",
     "Events handed on, by the consumer that took them"},
    {&Instruments::dropped, "create_counter", "quelvant.client.events.dropped", "{event}",
     "Events dropped, by the consumer that had no room"},
    {&Instruments::reconnects, "create_counter", "quelvant.client.reconnects", "{reconnect}",
     "Connections made and logged in again after a loss"},
    {&Instruments::gap, "create_histogram", "quelvant.client.reconnect.gap", "s",
     "From the loss of a connection to the new one's Login"},
    {&Instruments::up, "create_up_down_counter", "quelvant.client.connection.up", "{connection}",
     "1 while the session is logged in"},
    {&Instruments::connected, "create_counter", "quelvant.client.connection.duration", "s",
     "Time logged in, added when a connection ends"},
    {&Instruments::completion, "create_histogram", "quelvant.client.completion.wait", "s",
     "How long a completion() call waited"},
};

Instruments* g_instruments = nullptr;
bool g_looked = false;  // whether the package was looked for (absent: never again)

// Whether a provider of the API's own defaults (none set by the program) is in use.
bool is_default_provider(PyObject* provider) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(provider)));
  const char* text = name ? utf8_chars(name.get()) : nullptr;
  if (!text) {
    PyErr_Clear();
    return true;
  }
  const std::string_view n(text);
  return n.starts_with("_Proxy") || n.starts_with("Proxy") || n.starts_with("NoOp");
}

Ref make(PyObject* meter, const char* factory, const char* name, const char* unit,
         const char* description) {
  return call_method(meter, factory, "sss", name, unit, description);
}

// Null (no error) when the package is absent or no provider is set; null with the error set
// when looking failed otherwise.
Instruments* instruments() {
  if (g_instruments || g_looked) return g_instruments;
  g_looked = true;
  Ref metrics = Ref::steal(PyImport_ImportModule("opentelemetry.metrics"));
  Ref trace = metrics ? Ref::steal(PyImport_ImportModule("opentelemetry.trace")) : Ref();
  if (!metrics || !trace) {
    if (PyErr_ExceptionMatches(PyExc_ImportError)) PyErr_Clear();  // not installed: off
    return nullptr;
  }
  Ref meter_provider = call_method(metrics.get(), "get_meter_provider", nullptr);
  Ref tracer_provider = call_method(trace.get(), "get_tracer_provider", nullptr);
  if (!meter_provider || !tracer_provider) return nullptr;
  if (is_default_provider(meter_provider.get()) && is_default_provider(tracer_provider.get())) {
    g_looked = false;  // a provider may be set before the next session: asked again then
    return nullptr;
  }
  auto made = std::make_unique<Instruments>();
  Ref meter = call_method(metrics.get(), "get_meter", "ss", "quelvant_rs", "0.1.0");
  made->tracer = call_method(trace.get(), "get_tracer", "ss", "quelvant_rs", "0.1.0");
  if (!meter || !made->tracer) return nullptr;
  for (const InstrumentEntry& entry : kInstruments)
    made.get()->*entry.member = make(meter.get(), entry.factory, entry.name, entry.unit, entry.description);
  Ref kind = Ref::steal(PyObject_GetAttrString(trace.get(), "SpanKind"));
  made->client_kind = kind ? Ref::steal(PyObject_GetAttrString(kind.get(), "CLIENT")) : Ref();
  made->status = Ref::steal(PyObject_GetAttrString(trace.get(), "Status"));
  Ref code = Ref::steal(PyObject_GetAttrString(trace.get(), "StatusCode"));
  made->error_code = code ? Ref::steal(PyObject_GetAttrString(code.get(), "ERROR")) : Ref();
  made->start_span = Ref::steal(PyUnicode_InternFromString("start_span"));
  made->end = Ref::steal(PyUnicode_InternFromString("end"));
  made->set_attribute = Ref::steal(PyUnicode_InternFromString("set_attribute"));
  for (const InstrumentEntry& entry : kInstruments)
    if (!(made.get()->*entry.member)) return nullptr;
  for (const Ref* r : {&made->client_kind, &made->status, &made->error_code, &made->start_span,
                       &made->end, &made->set_attribute})
    if (!*r) return nullptr;
  g_instruments = made.release();  // kept for the process, as the providers are
  return g_instruments;
}

const char* outcome_text(Telemetry::Outcome outcome) {
  switch (outcome) {
    case Telemetry::Outcome::Reply: return "reply";
    case Telemetry::Outcome::Failure: return "failure";
    case Telemetry::Outcome::Timeout: return "timeout";
    case Telemetry::Outcome::Loss: return "loss";
    case Telemetry::Outcome::Cancel: return "cancel";
  }
  return "reply";
}

Ref text(std::string_view s) {
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}


// A request's or a completion wait's record, a list the done callback gets: the attributes,
// the start (seconds of the steady clock), then a span and its command word per request.
// Emptied once ended, so that a second end does nothing.
constexpr Py_ssize_t kFirstSpan = 2;

double now_seconds() {
  return std::chrono::duration<double>(Telemetry::Clock::now().time_since_epoch()).count();
}

Ref new_token(PyObject* base) {
  Ref start = Ref::steal(PyFloat_FromDouble(now_seconds()));
  Ref attrs = base ? Ref::steal(PyDict_Copy(base)) : Ref();
  if (!start || !attrs) return {};
  Ref token = Ref::steal(PyList_New(2));
  if (!token) return {};
  list_fill(token.get(), 0, attrs.release());
  list_fill(token.get(), 1, start.release());
  return token;
}

Telemetry::Outcome outcome_of(PyObject* exc) {
  if (!exc) return Telemetry::Outcome::Reply;
  if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(server_error_class())))
    return Telemetry::Outcome::Failure;
  if (PyErr_GivenExceptionMatches(exc, PyExc_TimeoutError)) return Telemetry::Outcome::Timeout;
  if (!PyErr_GivenExceptionMatches(exc, PyExc_Exception)) return Telemetry::Outcome::Cancel;
  return Telemetry::Outcome::Loss;  // lost, closed, or the send failed
}

bool set_attribute(PyObject* span, const char* key, PyObject* value) {
  Ref name = Ref::steal(PyUnicode_FromString(key));
  return name && value &&
         Ref::steal(PyObject_CallMethodObjArgs(span, g_instruments->set_attribute.get(), name.get(),
                                               value, nullptr));
}

bool end_span(PyObject* span, const char* failure) {
  Instruments& in = *g_instruments;
  if (failure) {
    Ref status = Ref::steal(PyObject_CallFunction(in.status.get(), "Os", in.error_code.get(), failure));
    if (!status || !call_method(span, "set_status", "O", status.get()))
      return false;
  }
  return static_cast<bool>(Ref::steal(PyObject_CallMethodObjArgs(span, in.end.get(), nullptr)));
}

bool record(PyObject* instrument, const char* method, PyObject* amount, PyObject* attrs) {
  if (!amount || !attrs) return false;
  return static_cast<bool>(call_method(instrument, method, "OO", amount, attrs));
}

bool add_one(PyObject* instrument, long amount, PyObject* attrs) {
  Ref value = Ref::steal(PyLong_FromLong(amount));
  return record(instrument, "add", value.get(), attrs);
}

// Ends what `token` holds with `outcome`; `tags` fill in spans that were started without.
bool end_token(PyObject* token, Telemetry::Outcome outcome, std::span<const std::uint64_t> tags) {
  const Py_ssize_t size = list_size(token);
  if (size < kFirstSpan) return true;  // ended already
  Instruments& in = *g_instruments;
  const Ref attrs = Ref::borrow(list_item(token, 0));
  const double seconds = now_seconds() - PyFloat_AsDouble(list_item(token, 1));
  std::vector<Ref> held;  // the spans and words, out of the list before any call
  for (Py_ssize_t i = kFirstSpan; i < size; ++i) held.push_back(Ref::borrow(list_item(token, i)));
  if (PyList_SetSlice(token, 0, size, nullptr) < 0) return false;
  Ref duration = Ref::steal(PyFloat_FromDouble(seconds));
  if (held.empty()) return record(in.completion.get(), "record", duration.get(), attrs.get());
  if (!add_one(in.in_flight.get(), -static_cast<long>(held.size() / 2), attrs.get())) return false;
  Ref outcome_value = Ref::steal(PyUnicode_FromString(outcome_text(outcome)));
  const char* failure = outcome == Telemetry::Outcome::Reply ? nullptr : outcome_text(outcome);
  for (std::size_t i = 0; i + 1 < held.size(); i += 2) {
    PyObject* span = held[i].get();
    Ref point = Ref::steal(PyDict_Copy(attrs.get()));
    if (!point || !outcome_value ||
        PyDict_SetItemString(point.get(), "quelvant.command", held[i + 1].get()) < 0 ||
        PyDict_SetItemString(point.get(), "quelvant.outcome", outcome_value.get()) < 0 ||
        !record(in.duration.get(), "record", duration.get(), point.get()))
      return false;
    if (i / 2 < tags.size()) {
      Ref tag = Ref::steal(PyLong_FromUnsignedLongLong(tags[i / 2]));
      if (!set_attribute(span, "quelvant.tag", tag.get())) return false;
    }
    if (!set_attribute(span, "quelvant.outcome", outcome_value.get()) || !end_span(span, failure))
      return false;
  }
  return true;
}

// The done callback of a future a token follows: self is the token.
PyObject* token_done(PyObject* token, PyObject* future) {
  Telemetry::Outcome outcome = Telemetry::Outcome::Reply;
  Ref cancelled = call_method(future, "cancelled", nullptr);
  if (!cancelled) return nullptr;
  if (PyObject_IsTrue(cancelled.get())) {
    outcome = Telemetry::Outcome::Cancel;
  } else {
    Ref exc = call_method(future, "exception", nullptr);
    if (!exc) return nullptr;
    outcome = outcome_of(exc.get() == Py_None ? nullptr : exc.get());
  }
  if (!end_token(token, outcome, {})) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef g_token_done = {"token_done", token_done, METH_O, nullptr};

// Ends `token` by the exception being raised (kept raised), or as answered.
Ref end_by_result(Ref token, std::span<const std::uint64_t> tags, Ref result) {
  if (!token) return result;
  if (result) {
    if (!end_token(token.get(), Telemetry::Outcome::Reply, tags)) return {};
    return result;
  }
  Ref exc = Ref::steal(take_raised_exception());
  if (!end_token(token.get(), outcome_of(exc.get()), tags)) PyErr_WriteUnraisable(token.get());
  set_raised_exception(exc.release());
  return {};
}

}  // namespace

bool Telemetry::start(bool wanted, const std::string& server, std::uint16_t port) {
  on_ = false;
  if (!wanted) return true;
  if (!instruments()) return !PyErr_Occurred();
  Ref address = text(server);
  Ref number = Ref::steal(PyLong_FromLong(port));
  base_ = Ref::steal(PyDict_New());
  if (!address || !number || !base_ || PyDict_SetItemString(base_.get(), "server.address", address.get()) < 0 ||
      PyDict_SetItemString(base_.get(), "server.port", number.get()) < 0)
    return false;
  on_ = true;
  return true;
}

bool Telemetry::span_started(const char* name, Ref& span, PyObject* given) {
  Instruments& in = *g_instruments;
  Ref kwargs = Ref::steal(PyDict_New());
  Ref attrs = given ? Ref::borrow(given) : Ref::steal(PyDict_Copy(base_.get()));
  Ref args = Ref::steal(Py_BuildValue("(s)", name));
  Ref start = Ref::steal(PyObject_GetAttr(in.tracer.get(), in.start_span.get()));
  if (!kwargs || !attrs || !args || !start ||
      PyDict_SetItemString(kwargs.get(), "kind", in.client_kind.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "attributes", attrs.get()) < 0)
    return false;
  span = Ref::steal(PyObject_Call(start.get(), args.get(), kwargs.get()));
  return static_cast<bool>(span);
}

bool Telemetry::requests_started(std::span<const std::string_view> words,
                                 std::span<const std::uint64_t> tags, Ref& token) {
  if (!on_) return true;
  Ref made = new_token(base_.get());
  if (!made) return false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    Ref span;
    Ref word = text(words[i]);
    Ref attrs = Ref::steal(PyDict_Copy(base_.get()));
    if (!word || !attrs || PyDict_SetItemString(attrs.get(), "quelvant.command", word.get()) < 0)
      return false;
    if (i < tags.size()) {
      Ref tag = Ref::steal(PyLong_FromUnsignedLongLong(tags[i]));
      if (!tag || PyDict_SetItemString(attrs.get(), "quelvant.tag", tag.get()) < 0) return false;
    }
    if (!span_started(words[i].empty() ? "request" : std::string(words[i]).c_str(), span, attrs.get()))
      return false;
    if (PyList_Append(made.get(), span.get()) < 0 || PyList_Append(made.get(), word.get()) < 0)
      return false;
  }
  if (!add_one(g_instruments->in_flight.get(), static_cast<long>(words.size()), base_.get()))
    return false;
  token = std::move(made);
  return true;
}

Ref Telemetry::requests_ended(Ref token, std::span<const std::uint64_t> tags, Ref result) {
  return end_by_result(std::move(token), tags, std::move(result));
}

bool Telemetry::end_when_done(PyObject* token, PyObject* future) {
  if (!token) return true;
  Ref callback = Ref::steal(PyCFunction_New(&g_token_done, token));
  return callback &&
         call_method(future, "add_done_callback", "O", callback.get());
}

bool Telemetry::completion_started(Ref& token) {
  if (!on_) return true;
  token = new_token(base_.get());
  return static_cast<bool>(token);
}

Ref Telemetry::completion_ended(Ref token, Ref result) {
  return end_by_result(std::move(token), {}, std::move(result));
}

bool Telemetry::follow(const LinkStep& step) {
  if (!on_) return true;
  using Do = LinkStep::Do;
  switch (step.what) {
    case Do::Wait: return true;
    case Do::Resolve: return connection_down();
    case Do::Connect: {
      // The attempt before this one failed: its address gave way to the next.
      if (!connection_down()) return false;
      if (connect_span_ && !end_span(Ref(std::move(connect_span_)).get(), "connect failed"))
        return false;
      Ref peer = text(format_ip_address(step.address));
      return span_started("connect", connect_span_) &&
             set_attribute(connect_span_.get(), "network.peer.address", peer.get());
    }
    case Do::LogIn:
      if (connect_span_ && !end_span(Ref(std::move(connect_span_)).get(), nullptr)) return false;
      return span_started("Login", login_span_);
    case Do::Up:
      if (login_span_ && !end_span(Ref(std::move(login_span_)).get(), nullptr)) return false;
      return connection_up(step.reconnected, step.gap);
    case Do::Pause:
    case Do::Fail: {
      const char* why = step.what == Do::Fail ? "connecting failed" : "attempt failed";
      if (connect_span_ && !end_span(Ref(std::move(connect_span_)).get(), why)) return false;
      if (login_span_ && !end_span(Ref(std::move(login_span_)).get(), why)) return false;
      return true;
    }
  }
  return true;
}

bool Telemetry::connection_up(bool reconnected, double gap) {
  if (up_) return true;
  Instruments& in = *g_instruments;
  up_ = true;
  up_since_ = Clock::now();
  if (!add_one(in.up.get(), 1, base_.get())) return false;
  if (!reconnected) return true;
  Ref seconds = Ref::steal(PyFloat_FromDouble(gap));
  return add_one(in.reconnects.get(), 1, base_.get()) &&
         record(in.gap.get(), "record", seconds.get(), base_.get());
}

bool Telemetry::connection_down() {
  if (!on_ || !up_) return true;
  Instruments& in = *g_instruments;
  up_ = false;
  Ref seconds = Ref::steal(PyFloat_FromDouble(
      std::chrono::duration<double>(Clock::now() - up_since_).count()));
  return add_one(in.up.get(), -1, base_.get()) &&
         record(in.connected.get(), "add", seconds.get(), base_.get());
}

bool Telemetry::closing() {
  if (!on_) return true;
  FirstError error;
  if (connect_span_ && !end_span(Ref(std::move(connect_span_)).get(), "closed")) error.keep();
  if (login_span_ && !end_span(Ref(std::move(login_span_)).get(), "closed")) error.keep();
  if (!connection_down()) error.keep();
  return error.restore();
}

bool Telemetry::events(const EventTotals& now) {
  if (!on_) return true;
  Instruments& in = *g_instruments;
  const auto add = [&](PyObject* instrument, std::uint64_t total, std::uint64_t& seen,
                       const char* consumer) {
    if (total == seen) return true;
    Ref amount = Ref::steal(PyLong_FromUnsignedLongLong(total - seen));
    Ref who = Ref::steal(PyUnicode_FromString(consumer));
    seen = total;
    Ref attrs = Ref::steal(PyDict_Copy(base_.get()));
    if (!who || !attrs || PyDict_SetItemString(attrs.get(), "quelvant.consumer", who.get()) < 0)
      return false;
    return record(instrument, "add", amount.get(), attrs.get());
  };
  return add(in.events.get(), now.window, seen_.window, "window") &&
         add(in.events.get(), now.subscription, seen_.subscription, "subscription") &&
         add(in.events.get(), now.resource, seen_.resource, "resource") &&
         add(in.dropped.get(), now.dropped_window, seen_.dropped_window, "window") &&
         add(in.dropped.get(), now.dropped_subscription, seen_.dropped_subscription, "subscription") &&
         add(in.dropped.get(), now.dropped_resource, seen_.dropped_resource, "resource") &&
         add(in.dropped.get(), now.dropped_before, seen_.dropped_before, "before");
}

}  // namespace qv::py
