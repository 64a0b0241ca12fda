#include "session/session_class.hpp"

#include <memory>
#include <string>

#include "session/settings.hpp"

namespace qv::py {

namespace {

Signature call_signature(const char* owner, const char* name, std::vector<Param> params) {
  Signature sig;
  sig.full_name = std::string(owner) + "." + name + "()";
  sig.params = std::move(params);
  sig.python_wording = true;
  // A left-out timeout (or ...) is the session's own; the callable converts it itself.
  sig.params.push_back(make_defaulted_param("timeout", Conv::Object));
  return sig;
}

}  // namespace

bool make_session_signatures(SessionSignatures& sigs, const char* owner) {
  if (!make_settings_signature(sigs.constructor, owner)) return false;
  sigs.timeout = make_param("timeout", Conv::Seconds, true);
  sigs.request = call_signature(owner, "request", {make_param("command", Conv::Object)});
  sigs.request_batch =
      call_signature(owner, "request_batch", {make_param("commands", Conv::Object)});
  sigs.events = call_signature(owner, "events", {});
  sigs.wait_for = call_signature(owner, "wait_for", {make_param("predicate", Conv::Object)});
  if (!sigs.timeout.name) return false;
  for (const Signature* sig : {&sigs.request, &sigs.request_batch, &sigs.events, &sigs.wait_for})
    for (const Param& p : sig->params)
      if (!p.name) return false;
  return true;
}

PyTypeObject* make_session_class(const SessionClassSpec& spec, std::vector<PyMethodDef> own,
                                 const std::array<PyMethodDef, kVariantCount>& per_command) {
  // Types keep pointers into these: they live as long as the process, as the types do.
  auto* methods = new std::vector<PyMethodDef>(std::move(own));
  methods->insert(methods->end(), per_command.begin(), per_command.end());
  methods->push_back({nullptr, nullptr, 0, nullptr});
  auto* getset = new PyGetSetDef[2]{
      {"closed", spec.closed, nullptr, "Whether close() was called.", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  const std::string doc = settings_text_signature(spec.owner) + spec.summary;
  PyType_Slot slots[] = {
      {Py_tp_new, spec.new_slot},
      {Py_tp_dealloc, spec.dealloc_slot},
      {Py_tp_methods, methods->data()},
      {Py_tp_getset, getset},
      {Py_tp_doc, const_cast<char*>(doc.c_str())},  // copied by the type
      {0, nullptr},
  };
  const std::string name = std::string("builtins.") + spec.owner;
  PyType_Spec type_spec = {name.c_str(), static_cast<int>(spec.basicsize), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace qv::py
