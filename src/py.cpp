#include "py.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "fingerprint.h"
#include "imports.h"
#include "parse.h"
#include "suppressions.h"

namespace py {

using parse::PythonError;
using parse::ValueError;

namespace {

// ---------------------------------------------------------------------------
// Owned references and failure plumbing

// Owns one reference. Borrowed references stay raw PyObject* and say so.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* obj) : obj_(obj) {}
  ~Ref() { Py_XDECREF(obj_); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// An interpreter call the code expects may fail: its exception goes to Python.
PyObject* check(PyObject* obj) {
  if (!obj) throw PythonError{};
  return obj;
}

void check(int status) {
  if (status < 0) throw PythonError{};
}

// An interpreter call that must not fail (object creation): a failure is internal.
PyObject* expect(PyObject* obj, const char* what) {
  if (!obj) {
    PyErr_Clear();
    throw registry::InternalError(std::string("could not create ") + what);
  }
  return obj;
}

// Made on first use; forgotten with the interpreter (see forget_interpreter).
PyObject* panic = nullptr;

PyObject* panic_exception() {
  if (!panic) {
    panic = PyErr_NewExceptionWithDoc(
        "velbrook_runtime.PanicException",
        "Raised when velbrook's internal code fails.\n\n"
        "Like SystemExit, it derives from BaseException rather than Exception,\n"
        "so that it propagates through the stack and can end the interpreter.",
        PyExc_BaseException, nullptr);
  }
  return panic;
}

[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void raise_panic(const char* where, const char* message) {
  PyErr_Clear();
  PySys_WriteStderr("velbrook: internal failure in %.200s: %.700s\n", where, message);
  PyObject* type = panic_exception();
  if (!type) abort_at_boundary();
  Ref text(PyUnicode_FromString(message));
  if (!text) abort_at_boundary();
  PyErr_SetObject(type, text.get());
}

// The one place where C++ failures become Python exceptions. Every module
// function, getter, constructor slot and the init run through it.
template <class F>
PyObject* guarded(const char* where, F&& body) noexcept {
  try {
    try {
      return body();
    } catch (const PythonError&) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
      }
    } catch (const ValueError& e) {
      // The message was built from UTF-8 text only (keys come from str).
      Ref text(PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), nullptr));
      if (text) {
        PyErr_SetObject(PyExc_ValueError, text.get());
      } else {
        raise_panic(where, "could not create str");
      }
    } catch (const std::exception& e) {
      raise_panic(where, e.what());
    } catch (...) {
      raise_panic(where, "unknown failure");
    }
  } catch (...) {
    abort_at_boundary();
  }
  return nullptr;
}

// Error texts are assembled as Python strings, so that the caller's text in
// them (keywords, type names, exception texts) survives whole: NULs, lone
// surrogates and all.

Ref new_str(const char* text) { return Ref(expect(PyUnicode_FromString(text), "str")); }

// The str attribute of obj, or the fallback when it cannot be read as a str.
Ref str_attr(PyObject* obj, const char* attr, const char* fallback) {
  Ref value(PyObject_GetAttrString(obj, attr));
  if (value && PyUnicode_Check(value.get())) return value;
  PyErr_Clear();
  return new_str(fallback);
}

Ref type_qualname(PyObject* obj) {
  return str_attr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__", "<failed to extract type name>");
}

Ref str_of(PyObject* obj) {
  Ref text(PyObject_Str(obj));
  if (text) return text;
  PyErr_Clear();
  return new_str("<unprintable>");
}

// PyUnicode_FromFormat; caller text goes in through %U.
template <class... A>
Ref format(const char* pattern, A... args) {
  return Ref(expect(PyUnicode_FromFormat(pattern, args...), "str"));
}

template <class... A>
[[noreturn]] void type_error(const char* pattern, A... args) {
  PyErr_SetObject(PyExc_TypeError, format(pattern, args...).get());
  throw PythonError{};
}

// ---------------------------------------------------------------------------
// Conversions to Python

PyObject* to_python(const std::string& text) {
  return expect(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())), "str");
}
PyObject* to_python(std::uint64_t value) {
  return expect(PyLong_FromUnsignedLongLong(value), "int");
}
PyObject* to_python(bool value) { return PyBool_FromLong(value); }

template <class T>
PyObject* to_python(const T& record)
  requires std::is_class_v<T>;
template <class T>
PyObject* to_python(const std::optional<T>& value);
template <class A, class B>
PyObject* to_python(const std::pair<A, B>& pair);
template <class... T>
PyObject* to_python(const std::tuple<T...>& tuple);
template <class T>
PyObject* to_python(const std::vector<T>& items);
template <class R>
PyObject* new_instance(R record);

template <class T>
PyObject* to_python(const std::optional<T>& value) {
  if (!value) Py_RETURN_NONE;
  return to_python(*value);
}

template <class... T>
PyObject* to_python(const std::tuple<T...>& tuple) {
  Ref out(expect(PyTuple_New(sizeof...(T)), "tuple"));
  Py_ssize_t i = 0;
  std::apply([&](const auto&... item) { (PyTuple_SetItem(out.get(), i++, to_python(item)), ...); }, tuple);
  return out.release();
}

template <class A, class B>
PyObject* to_python(const std::pair<A, B>& pair) {
  return to_python(std::tuple<const A&, const B&>(pair.first, pair.second));
}

template <class T>
PyObject* to_python(const T& record)
  requires std::is_class_v<T>
{
  return new_instance(record);
}

template <class T>
PyObject* to_python(const std::vector<T>& items) {
  Ref out(expect(PyList_New(static_cast<Py_ssize_t>(items.size())), "list"));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), to_python(items[i]));
  }
  return out.release();
}

// A list of new instances that take the records over.
template <class R>
PyObject* records_to_list(std::vector<R>&& records) {
  Ref out(expect(PyList_New(static_cast<Py_ssize_t>(records.size())), "list"));
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), new_instance(std::move(records[i])));
  }
  return out.release();
}

// ---------------------------------------------------------------------------
// Result classes

// An instance is the object header followed by its record, which is
// constructed in place by new_instance and destroyed by dealloc.
template <class R>
constexpr std::size_t RECORD_OFFSET = (sizeof(PyObject) + alignof(R) - 1) / alignof(R) * alignof(R);

template <class R>
constexpr int INSTANCE_SIZE = static_cast<int>(RECORD_OFFSET<R> + sizeof(R));

template <class R>
R* record_address(PyObject* self) {
  static_assert(alignof(R) <= alignof(std::max_align_t), "the allocator aligns objects no further");
  return reinterpret_cast<R*>(reinterpret_cast<char*>(self) + RECORD_OFFSET<R>);
}

template <class R>
R& record_of(PyObject* self) {
  return *std::launder(record_address<R>(self));
}

enum ClassIndex { LANGUAGE_INFO, CALL_EDGE, BASIC_BLOCK, FUNCTION_CFG, FINGERPRINT, SUPPRESSION, IGNORED_REGION, CLASS_COUNT };

// Created once per interpreter; forgotten with it (see forget_interpreter).
PyTypeObject* class_types[CLASS_COUNT] = {};

template <class R>
struct ClassOf;
template <> struct ClassOf<PyLanguageInfo> { static constexpr ClassIndex index = LANGUAGE_INFO; };
template <> struct ClassOf<PyCallEdge> { static constexpr ClassIndex index = CALL_EDGE; };
template <> struct ClassOf<PyBasicBlock> { static constexpr ClassIndex index = BASIC_BLOCK; };
template <> struct ClassOf<PyFunctionCfg> { static constexpr ClassIndex index = FUNCTION_CFG; };
template <> struct ClassOf<PyFingerprint> { static constexpr ClassIndex index = FINGERPRINT; };
template <> struct ClassOf<PySuppression> { static constexpr ClassIndex index = SUPPRESSION; };
template <> struct ClassOf<PyIgnoredRegion> { static constexpr ClassIndex index = IGNORED_REGION; };

template <class R>
PyObject* new_instance(R record) {
  PyTypeObject* type = class_types[ClassOf<R>::index];
  if (!type) throw registry::InternalError("result class used before the module was initialised");
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref obj(expect(alloc ? alloc(type, 0) : PyType_GenericAlloc(type, 0), "result object"));
  // Nothing may fail between allocation and construction: dealloc destroys a record.
  static_assert(std::is_nothrow_move_constructible_v<R>);
  new (record_address<R>(obj.get())) R(std::move(record));
  return obj.release();
}

template <class R>
void dealloc(PyObject* self) {
  std::destroy_at(&record_of<R>(self));
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded("constructor", [&]() -> PyObject* {
    Ref name = str_attr(reinterpret_cast<PyObject*>(type), "__name__", "<unknown>");
    type_error("No constructor defined for %U", name.get());
  });
}

template <class R, auto Member>
PyObject* getter(PyObject* self, void*) {
  return guarded("attribute getter", [&] { return to_python(record_of<R>(self).*Member); });
}

template <class R, auto Member>
constexpr PyGetSetDef attribute(const char* name) {
  return {name, getter<R, Member>, nullptr, "", nullptr};
}

PyGetSetDef language_info_attrs[] = {
    attribute<PyLanguageInfo, &PyLanguageInfo::name>("name"),
    attribute<PyLanguageInfo, &PyLanguageInfo::key>("key"),
    attribute<PyLanguageInfo, &PyLanguageInfo::extensions>("extensions"),
    attribute<PyLanguageInfo, &PyLanguageInfo::explicit_only>("explicit_only"),
    {}};
PyGetSetDef call_edge_attrs[] = {
    attribute<PyCallEdge, &PyCallEdge::caller>("caller"),
    attribute<PyCallEdge, &PyCallEdge::callee>("callee"),
    attribute<PyCallEdge, &PyCallEdge::is_external>("is_external"),
    {}};
PyGetSetDef basic_block_attrs[] = {
    attribute<PyBasicBlock, &PyBasicBlock::id>("id"),
    attribute<PyBasicBlock, &PyBasicBlock::statements>("statements"),
    attribute<PyBasicBlock, &PyBasicBlock::byte_range>("byte_range"),
    attribute<PyBasicBlock, &PyBasicBlock::condition_range>("condition_range"),
    {}};
PyGetSetDef function_cfg_attrs[] = {
    attribute<PyFunctionCfg, &PyFunctionCfg::blocks>("blocks"),
    attribute<PyFunctionCfg, &PyFunctionCfg::edges>("edges"),
    attribute<PyFunctionCfg, &PyFunctionCfg::entry>("entry"),
    attribute<PyFunctionCfg, &PyFunctionCfg::exits>("exits"),
    {}};
PyGetSetDef fingerprint_attrs[] = {
    attribute<PyFingerprint, &PyFingerprint::name>("name"),
    attribute<PyFingerprint, &PyFingerprint::kind>("kind"),
    attribute<PyFingerprint, &PyFingerprint::hash>("hash"),
    attribute<PyFingerprint, &PyFingerprint::node_count>("node_count"),
    attribute<PyFingerprint, &PyFingerprint::start_byte>("start_byte"),
    attribute<PyFingerprint, &PyFingerprint::end_byte>("end_byte"),
    attribute<PyFingerprint, &PyFingerprint::start_line>("start_line"),
    attribute<PyFingerprint, &PyFingerprint::end_line>("end_line"),
    {}};
PyGetSetDef suppression_attrs[] = {
    attribute<PySuppression, &PySuppression::comment_line>("comment_line"),
    attribute<PySuppression, &PySuppression::target_line>("target_line"),
    attribute<PySuppression, &PySuppression::tool>("tool"),
    attribute<PySuppression, &PySuppression::rule>("rule"),
    {}};
PyGetSetDef ignored_region_attrs[] = {
    attribute<PyIgnoredRegion, &PyIgnoredRegion::byte_range>("byte_range"),
    attribute<PyIgnoredRegion, &PyIgnoredRegion::line_range>("line_range"),
    attribute<PyIgnoredRegion, &PyIgnoredRegion::tools>("tools"),
    {}};

struct ClassSpec {
  const char* name;       // class name
  const char* spec_name;  // "builtins." + class name
  PyGetSetDef* attrs;
  int basicsize;
  destructor dealloc;
};

template <class R>
constexpr ClassSpec class_spec(const char* name, const char* spec_name, PyGetSetDef* attrs) {
  return {name, spec_name, attrs, INSTANCE_SIZE<R>, dealloc<R>};
}

const ClassSpec class_specs[CLASS_COUNT] = {
    class_spec<PyLanguageInfo>("LanguageInfo", "builtins.LanguageInfo", language_info_attrs),
    class_spec<PyCallEdge>("CallEdge", "builtins.CallEdge", call_edge_attrs),
    class_spec<PyBasicBlock>("BasicBlock", "builtins.BasicBlock", basic_block_attrs),
    class_spec<PyFunctionCfg>("FunctionCfg", "builtins.FunctionCfg", function_cfg_attrs),
    class_spec<PyFingerprint>("Fingerprint", "builtins.Fingerprint", fingerprint_attrs),
    class_spec<PySuppression>("Suppression", "builtins.Suppression", suppression_attrs),
    class_spec<PyIgnoredRegion>("IgnoredRegion", "builtins.IgnoredRegion", ignored_region_attrs),
};

PyTypeObject* class_type(ClassIndex index) {
  if (class_types[index]) return class_types[index];
  const ClassSpec& spec = class_specs[index];
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)},
      {Py_tp_getset, spec.attrs},
      {0, nullptr},
  };
  // Immutable: replacing __new__ would let Python make instances whose record
  // was never constructed, and dealloc destroys it all the same.
  PyType_Spec type_spec = {spec.spec_name, spec.basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (!type) {
    PyObject *cause_type, *cause, *cause_tb;
    PyErr_Fetch(&cause_type, &cause, &cause_tb);
    PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
    std::string message = std::string("An error occurred while initializing class ") + spec.name;
    Ref error(PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str()));
    if (error && cause) {
      if (cause_tb) PyException_SetTraceback(cause, cause_tb);
      PyException_SetCause(error.get(), cause);
      cause = nullptr;
    }
    Py_XDECREF(cause_type);
    Py_XDECREF(cause);
    Py_XDECREF(cause_tb);
    if (error) PyErr_SetObject(PyExc_RuntimeError, error.get());
    throw PythonError{};
  }
  class_types[index] = reinterpret_cast<PyTypeObject*>(type);
  return class_types[index];
}

// ---------------------------------------------------------------------------
// Argument extraction

struct Signature {
  const char* name;  // the function's Python name
  std::vector<const char*> params;
};

std::string quoted_list(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += (i + 1 == names.size()) ? " and " : " ";
    }
    out += "'" + names[i] + "'";
  }
  return out;
}

// Places positional and keyword arguments into the parameter slots.
// The slots hold borrowed references.
std::vector<PyObject*> bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs) {
  const std::size_t n = sig.params.size();
  std::vector<PyObject*> slots(n, nullptr);
  const auto given = static_cast<std::size_t>(PyTuple_Size(args));
  for (std::size_t i = 0; i < given && i < n; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  if (given > n) {
    type_error("%s() takes %zu positional arguments but %zu %s given", sig.name, n, given,
               given == 1 ? "was" : "were");
  }
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;  // borrowed
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
      if (!text) PyErr_Clear();
      std::size_t slot = n;
      for (std::size_t i = 0; text && i < n; ++i) {
        if (std::string_view(sig.params[i]) == std::string_view(text, static_cast<std::size_t>(size))) slot = i;
      }
      if (slot == n) type_error("%s() got an unexpected keyword argument '%U'", sig.name, str_of(key).get());
      if (slots[slot]) type_error("%s() got multiple values for argument '%s'", sig.name, sig.params[slot]);
      slots[slot] = value;
    }
  }
  if (given < n) {
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < n; ++i) {
      if (!slots[i]) missing.emplace_back(sig.params[i]);
    }
    if (!missing.empty()) {
      type_error("%s() missing %zu required positional %s: %s", sig.name, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", quoted_list(missing).c_str());
    }
  }
  return slots;
}

[[noreturn]] void conversion_error(const char* param, PyObject* value, const char* target) {
  type_error("argument '%s': '%U' object cannot be converted to '%s'", param, type_qualname(value).get(), target);
}

std::string_view text_arg(const char* param, PyObject* value) {
  if (!PyUnicode_Check(value)) conversion_error(param, value, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (!text) throw PythonError{};
  return {text, static_cast<std::size_t>(size)};
}

std::string_view bytes_arg(const char* param, PyObject* value) {
  if (!PyBytes_Check(value)) conversion_error(param, value, "PyBytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  check(PyBytes_AsStringAndSize(value, &data, &size));
  return {data, static_cast<std::size_t>(size)};
}

// Replaces a pending TypeError by one that names the argument; keeps its cause.
[[noreturn]] void rename_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref owned_type(type), owned_value(value), owned_tb(tb);
  if (!value || type != PyExc_TypeError) {
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_tb.release());
    throw PythonError{};
  }
  Ref message = format("argument '%s': %U", param, str_of(value).get());
  Ref error(check(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr)));
  if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(error.get(), cause);
  PyErr_SetObject(PyExc_TypeError, error.get());
  throw PythonError{};
}

std::uint64_t u64_arg(const char* param, PyObject* value) {
  Ref index;
  if (!PyLong_Check(value)) {
    index = Ref(PyNumber_Index(value));
    if (!index) rename_type_error(param);
    value = index.get();
  }
  unsigned long long result = PyLong_AsUnsignedLongLong(value);
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rename_type_error(param);
  return result;
}

}  // namespace

registry::SlocMode sloc_mode_for_key(std::string_view key) {
  for (const registry::LanguageInfo& row : registry::languages()) {
    if (row.key.size() == key.size() && row.key == key) return row.sloc_mode;
  }
  throw ValueError("unknown language key: " + std::string(key));
}

namespace {

// ---------------------------------------------------------------------------
// Module functions

PyObject* languages(PyObject*, PyObject*) {
  return guarded("languages", [] {
    std::vector<PyLanguageInfo> records;
    for (const registry::LanguageInfo& row : registry::languages()) {
      PyLanguageInfo info{std::string(row.name), std::string(row.key), {}, {}};
      for (std::string_view ext : row.extensions) info.extensions.emplace_back(ext);
      for (std::string_view ext : row.explicit_only) info.explicit_only.emplace_back(ext);
      records.push_back(std::move(info));
    }
    return records_to_list(std::move(records));
  });
}

PyObject* supported_languages_report(PyObject*, PyObject*) {
  return guarded("supported_languages_report", [] { return to_python(registry::supported_languages_report()); });
}

const Signature CALL_EDGES_ARGS{"call_edges", {"language_key", "source"}};
const Signature IMPORT_SOURCES_ARGS{"import_sources", {"language_key", "source"}};
const Signature FUNCTION_CFG_ARGS{"function_cfg", {"language_key", "source", "function_name"}};
const Signature FUNCTION_FINGERPRINTS_ARGS{"function_fingerprints", {"language_key", "source", "min_nodes"}};
const Signature SUPPRESSIONS_ARGS{"suppressions", {"language_key", "source"}};
const Signature IGNORED_REGIONS_ARGS{"ignored_regions", {"language_key", "source"}};

PyObject* call_edges(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("call_edges", [&] {
    auto slots = bind_arguments(CALL_EDGES_ARGS, args, kwargs);
    std::string_view key = text_arg("language_key", slots[0]);
    std::string_view source = text_arg("source", slots[1]);
    query::Tree tree = parse::parse(key, source);
    parse::Work work(CALL_EDGES_ARGS.name, source.size());
    std::vector<PyCallEdge> edges = calls::call_edges(tree.root(), source, work);
    tree.reset();
    return records_to_list(std::move(edges));
  });
}

PyObject* import_sources(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("import_sources", [&] {
    auto slots = bind_arguments(IMPORT_SOURCES_ARGS, args, kwargs);
    std::string_view key = text_arg("language_key", slots[0]);
    std::string_view source = bytes_arg("source", slots[1]);
    query::Tree tree = parse::parse(key, source);
    parse::Work work(IMPORT_SOURCES_ARGS.name, source.size());
    std::vector<std::string> found;
    imports::walk(tree.root(), source, key, found, work);
    tree.reset();
    return to_python(found);
  });
}

PyFunctionCfg to_record(cfg::FunctionCfg&& graph) {
  PyFunctionCfg out{std::move(graph.blocks), {}, graph.entry, std::move(graph.exits)};
  out.edges.reserve(graph.edges.size());
  for (const cfg::Edge& edge : graph.edges) {
    out.edges.emplace_back(edge.from, edge.to, std::string(cfg::EDGE_LABELS.at(static_cast<std::size_t>(edge.kind))));
  }
  return out;
}

PyObject* function_cfg(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("function_cfg", [&]() -> PyObject* {
    auto slots = bind_arguments(FUNCTION_CFG_ARGS, args, kwargs);
    std::string_view key = text_arg("language_key", slots[0]);
    std::string_view source = text_arg("source", slots[1]);
    std::string_view name = text_arg("function_name", slots[2]);
    query::Tree tree = parse::parse(key, source);
    parse::Work work(FUNCTION_CFG_ARGS.name, source.size());
    std::optional<PyFunctionCfg> record;
    if (std::optional<cfg::FunctionCfg> graph = cfg::function_cfg(tree.root(), source, name, key, work)) {
      record = to_record(std::move(*graph));
    }
    tree.reset();
    if (!record) Py_RETURN_NONE;
    return new_instance(std::move(*record));
  });
}

PyObject* function_fingerprints(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("function_fingerprints", [&] {
    auto slots = bind_arguments(FUNCTION_FINGERPRINTS_ARGS, args, kwargs);
    std::string_view key = text_arg("language_key", slots[0]);
    std::string_view source = text_arg("source", slots[1]);
    std::uint64_t min_nodes = u64_arg("min_nodes", slots[2]);
    query::Tree tree = parse::parse(key, source);
    parse::Work work(FUNCTION_FINGERPRINTS_ARGS.name, source.size());
    std::vector<fingerprint::Fingerprint> found =
        fingerprint::function_fingerprints(tree.root(), source, min_nodes, work);
    std::vector<PyFingerprint> records;
    records.reserve(found.size());
    for (fingerprint::Fingerprint& fp : found) {
      records.push_back({std::move(fp.name), std::string(fp.kind), fp.hash, fp.node_count, fp.start_byte,
                         fp.end_byte, fp.start_line, fp.end_line});
    }
    tree.reset();
    return records_to_list(std::move(records));
  });
}

PyObject* suppressions(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("suppressions", [&] {
    auto slots = bind_arguments(SUPPRESSIONS_ARGS, args, kwargs);
    std::string_view key = text_arg("language_key", slots[0]);
    std::string_view source = text_arg("source", slots[1]);
    registry::SlocMode mode = sloc_mode_for_key(key);
    std::vector<suppressions::Suppression> found = suppressions::suppressions(source, mode);
    std::vector<PySuppression> records;
    records.reserve(found.size());
    for (suppressions::Suppression& s : found) {
      records.push_back({s.comment_line, s.target_line, std::move(s.tool), std::move(s.rule)});
    }
    return records_to_list(std::move(records));
  });
}

PyObject* ignored_regions(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("ignored_regions", [&] {
    auto slots = bind_arguments(IGNORED_REGIONS_ARGS, args, kwargs);
    std::string_view key = text_arg("language_key", slots[0]);
    std::string_view source = text_arg("source", slots[1]);
    registry::SlocMode mode = sloc_mode_for_key(key);
    return records_to_list(regions::ignored_regions(source, mode));
  });
}

PyCFunction keywords(PyCFunctionWithKeywords f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef methods[] = {
    {"languages", languages, METH_NOARGS,
     "languages()\n--\n\n"
     "The languages compiled into this build, which reflect the build-tool\n"
     "features the package was built with."},
    {"supported_languages_report", supported_languages_report, METH_NOARGS,
     "supported_languages_report()\n--\n\n"
     "Human-readable language summary, for `--supported-languages`-style flags."},
    {"call_edges", keywords(call_edges), METH_VARARGS | METH_KEYWORDS,
     "call_edges(language_key, source)\n--\n\n"
     "Call-graph edges for every named function/macro in `source`, parsed as\n"
     "`language_key`."},
    {"import_sources", keywords(import_sources), METH_VARARGS | METH_KEYWORDS,
     "import_sources(language_key, source)\n--\n\n"
     "Import/use-statement sources in `source`, for Ce/Ca coupling metrics."},
    {"function_cfg", keywords(function_cfg), METH_VARARGS | METH_KEYWORDS,
     "function_cfg(language_key, source, function_name)\n--\n\n"
     "Control-flow graph for the first function named `function_name` found in\n"
     "`source`. Returns `None` if the language isn't modeled by `build_function_cfg`\n"
     "(only `c`, `cpp`, `rust` today) or no matching function is found."},
    {"function_fingerprints", keywords(function_fingerprints), METH_VARARGS | METH_KEYWORDS,
     "function_fingerprints(language_key, source, min_nodes)\n--\n\n"
     "Structural fingerprints for every function-like subtree in `source`,\n"
     "ignoring identifier/literal text (Type-2 clone detection)."},
    {"suppressions", keywords(suppressions), METH_VARARGS | METH_KEYWORDS,
     "suppressions(language_key, source)\n--\n\n"
     "`tools:suppress TOOL:RULE` single-line suppression comments in `source`."},
    {"ignored_regions", keywords(ignored_regions), METH_VARARGS | METH_KEYWORDS,
     "ignored_regions(language_key, source)\n--\n\n"
     "`tools:off` / `tools:on` ignored regions in `source`."},
};

// ---------------------------------------------------------------------------
// Module frame

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "velbrook", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

std::atomic<std::int64_t> bound_interpreter{-1};
PyObject* module_cell = nullptr;  // the module built for the bound interpreter

// Run by Py_FinalizeEx once the interpreter is gone, so that a later one
// builds the module afresh. Its objects went with it: nothing is released.
void forget_interpreter() {
  module_cell = nullptr;
  std::fill(std::begin(class_types), std::end(class_types), nullptr);
  panic = nullptr;
  bound_interpreter.store(-1, std::memory_order_release);
}

// Appends name to the module's __all__ (created when missing), then sets it.
void add_to_module(PyObject* module, const char* name, PyObject* value /* borrowed */) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all = Ref(expect(PyList_New(0), "__all__"));
    check(PyObject_SetAttrString(module, "__all__", all.get()));
  } else if (!PyList_Check(all.get())) {
    type_error("'%U' object cannot be converted to 'PyList'", type_qualname(all.get()).get());
  }
  Ref text(expect(PyUnicode_FromString(name), "str"));
  if (PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    throw registry::InternalError("could not append __name__ to __all__");
  }
  check(PyObject_SetAttrString(module, name, value));
}

void velbrook(PyObject* module) {
  for (int i = 0; i < CLASS_COUNT; ++i) {
    PyTypeObject* type = class_type(static_cast<ClassIndex>(i));
    add_to_module(module, class_specs[i].name, reinterpret_cast<PyObject*>(type));
  }
  Ref module_name(check(PyModule_GetNameObject(module)));
  for (PyMethodDef& def : methods) {
    Ref function(check(PyCMethod_New(&def, module, module_name.get(), nullptr)));
    Ref name(check(PyObject_GetAttrString(function.get(), "__name__")));
    if (!PyUnicode_Check(name.get())) throw registry::InternalError("function __name__ is not a str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (!text) throw PythonError{};
    add_to_module(module, std::string(text, static_cast<std::size_t>(size)).c_str(), function.get());
  }
}

PyObject* init() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) throw PythonError{};
  std::int64_t expected = -1;
  if (bound_interpreter.compare_exchange_strong(expected, id, std::memory_order_acq_rel)) {
    // Py_FinalizeEx pops each function it runs, so each binding registers anew.
    if (Py_AtExit(forget_interpreter) < 0) {
      bound_interpreter.store(-1, std::memory_order_release);
      PyErr_SetString(PyExc_ImportError, "velbrook could not register its exit function (Py_AtExit)");
      throw PythonError{};
    }
  } else if (expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "velbrook does not support sub-interpreters; it can be imported by one interpreter per "
                    "process only. See https://docs.python.org/3/c-api/init.html#sub-interpreter-support "
                    "for details.");
    throw PythonError{};
  }
  if (module_cell) {
    Py_INCREF(module_cell);
    return module_cell;
  }
  Ref module(check(PyModule_Create2(&module_def, 3)));
  velbrook(module.get());
  module_cell = module.get();
  Py_INCREF(module_cell);
  return module.release();
}

}  // namespace

}  // namespace py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velbrook(void) {
  return py::guarded("PyInit_velbrook", py::init);
}

#if defined(__GLIBCXX__) && _GLIBCXX_RELEASE >= 11
// GCC 11 and later call this from std::allocator's size checks, and libstdc++
// exports it only since GCC 11 (GLIBCXX_3.4.29): that one reference would
// make the wheel manylinux_2_34. With a definition of our own, the newest
// version the module needs is GLIBCXX_3.4.21 (manylinux_2_24). The header
// declares it with default visibility, which a redeclaration cannot change;
// the version script keeps it inside the module.
namespace std {
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
}  // namespace std
#endif
