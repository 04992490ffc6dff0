#include "boundary/entry.hpp"

#include <cstddef>
#include <string>

#include "boundary/pyref.hpp"
#include "boundary/run_args.hpp"
#include "core/failure.hpp"

namespace pelmora::py {

namespace {

struct EntryObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const EntryInfo* info;
  PyObject* defaults;    // the options' defaults, in order
  PyObject* kwdefaults;  // the keyword-only flags' defaults, or None
};

const EntryInfo* info_of(PyObject* self) { return reinterpret_cast<EntryObject*>(self)->info; }

PyObject* entry_defaults(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<EntryObject*>(self)->defaults);
}

PyObject* entry_kwdefaults(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<EntryObject*>(self)->kwdefaults);
}

PyObject* entry_name(PyObject* self, void*) { return PyUnicode_FromString(info_of(self)->name); }

PyObject* entry_module(PyObject* self, void*) {
  return PyUnicode_FromString(info_of(self)->module);
}

PyObject* entry_doc(PyObject* self, void*) { return PyUnicode_FromString(info_of(self)->doc); }

PyObject* entry_text_signature(PyObject* self, void*) {
  const EntryInfo* s = info_of(self);
  return PyUnicode_FromString(
      run_text_signature(s->name, s->kwonly, s->n_kwonly, s->kwonly_defaults).c_str());
}

PyObject* entry_signature(PyObject* self, void*) {
  const EntryInfo* s = info_of(self);
  Ref inspect(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter(PyObject_GetAttrString(inspect.get(), "Parameter"));
  if (!parameter) return nullptr;
  Ref positional(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
  Ref keyword(PyObject_GetAttrString(parameter.get(), "KEYWORD_ONLY"));
  if (!positional || !keyword) return nullptr;
  Ref params(PyList_New(0));
  if (!params) return nullptr;
  auto add = [&](const char* pname, PyObject* kind, PyObject* dflt) {
    Ref name(PyUnicode_FromString(pname));
    Ref args(name ? PyTuple_Pack(2, name.get(), kind) : nullptr);
    Ref kwargs(PyDict_New());
    if (!args || !kwargs) return false;
    if (dflt && PyDict_SetItemString(kwargs.get(), "default", dflt) != 0) return false;
    Ref param(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
    return param && PyList_Append(params.get(), param.get()) == 0;
  };
  PyObject* defaults = reinterpret_cast<EntryObject*>(self)->defaults;
  for (int i = 0; i < kRunTotal; ++i) {
    PyObject* d = i >= kRunRequired ? PyTuple_GET_ITEM(defaults, i - kRunRequired) : nullptr;
    if (!add(kRunParameters[i].name, positional.get(), d)) return nullptr;
  }
  PyObject* kwdefaults = reinterpret_cast<EntryObject*>(self)->kwdefaults;
  for (int i = 0; i < s->n_kwonly; ++i) {
    if (!add(s->kwonly[i], keyword.get(), PyDict_GetItemString(kwdefaults, s->kwonly[i]))) {
      return nullptr;
    }
  }
  return PyObject_CallMethod(inspect.get(), "Signature", "O", params.get());
}

PyObject* entry_repr(PyObject* self) {
  return PyUnicode_FromFormat("<built-in function %s>", info_of(self)->name);
}

void entry_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<EntryObject*>(self)->defaults);
  Py_XDECREF(reinterpret_cast<EntryObject*>(self)->kwdefaults);
  Py_TYPE(self)->tp_free(self);
}

PyGetSetDef entry_getset[] = {
    {"__defaults__", entry_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", entry_kwdefaults, nullptr, nullptr, nullptr},
    {"__name__", entry_name, nullptr, nullptr, nullptr},
    {"__qualname__", entry_name, nullptr, nullptr, nullptr},
    {"__module__", entry_module, nullptr, nullptr, nullptr},
    {"__doc__", entry_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", entry_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", entry_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// One type per extension module (the boundary is linked into each), named
// after the module that makes the first entry.
std::string g_type_name;

// The head initialiser leaves the type's other slots to their zero default.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject EntryType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "pelmora.core.native_entry";
  t.tp_basicsize = sizeof(EntryObject);
  t.tp_dealloc = entry_dealloc;
  t.tp_vectorcall_offset = offsetof(EntryObject, vectorcall);
  t.tp_repr = entry_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
  t.tp_getset = entry_getset;
  return t;
}();
#pragma GCC diagnostic pop

// A keyword-only default from its text: True, False, None, a float (with a
// point) or an int.
PyObject* keyword_default(const EntryInfo* info, int i) {
  const char* text = info->kwonly_defaults ? info->kwonly_defaults[i] : "True";
  const std::string t(text);
  if (t == "True") return Py_NewRef(Py_True);
  if (t == "False") return Py_NewRef(Py_False);
  if (t == "None") return Py_NewRef(Py_None);
  if (t.find('.') != std::string::npos) return PyFloat_FromDouble(std::stod(t));
  return PyLong_FromString(text, nullptr, 10);
}

}  // namespace

PyObject* make_run_entry(const EntryInfo* info) {
  if (!(EntryType.tp_flags & Py_TPFLAGS_READY)) {
    g_type_name = std::string(info->module) + ".native_entry";
    EntryType.tp_name = g_type_name.c_str();
    if (PyType_Ready(&EntryType) < 0) return nullptr;
  }
  PyObject* defaults = nullptr;
  try {
    defaults = run_defaults(info->inf_default);
  } catch (const Failure&) {
    return nullptr;  // only a failed allocation: the error is set
  }
  Ref defaults_ref(defaults);
  Ref kwdefaults(Py_NewRef(Py_None));
  if (info->n_kwonly > 0) {
    kwdefaults.reset(PyDict_New());
    if (!kwdefaults) return nullptr;
    for (int i = 0; i < info->n_kwonly; ++i) {
      Ref value(keyword_default(info, i));
      if (!value || PyDict_SetItemString(kwdefaults.get(), info->kwonly[i], value.get()) != 0) {
        return nullptr;
      }
    }
  }
  EntryObject* e = PyObject_New(EntryObject, &EntryType);
  if (!e) return nullptr;
  e->vectorcall = info->call;
  e->info = info;
  e->defaults = defaults_ref.release();
  e->kwdefaults = kwdefaults.release();
  return reinterpret_cast<PyObject*>(e);
}

}  // namespace pelmora::py
