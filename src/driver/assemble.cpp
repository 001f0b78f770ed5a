#include "driver/assemble.h"

#include <utility>
#include <vector>

#include "driver/load.h"
#include "module/raise.h"
#include "module/result_types.h"
#include "numpy_bridge/bridge.h"

namespace quarn::driver {
namespace {

Ref prop_to_py(PropValue&& value) {
  struct Visitor {
    PyObject* operator()(PropValue::String& s) const {
      return PyUnicode_FromStringAndSize(s.value.data(), static_cast<Py_ssize_t>(s.value.size()));
    }
    PyObject* operator()(PropValue::Int& i) const { return PyLong_FromLongLong(i.value); }
    PyObject* operator()(PropValue::Float& f) const { return PyFloat_FromDouble(f.value); }
  };
  return Ref::steal(std::visit(Visitor{}, value.v));
}

}  // namespace

Ref properties_to_py(PropertyList&& header) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  for (Property& p : header) {
    Ref key = Ref::steal(
        PyUnicode_FromStringAndSize(p.name.data(), static_cast<Py_ssize_t>(p.name.size())));
    if (!key) return {};
    Ref value = prop_to_py(std::move(p.value));
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
  }
  return dict;
}

namespace {

bool series_objects(std::vector<NamedSeries>&& series, result_types::Kind kind,
                    std::vector<Ref>& out) {
  out.reserve(series.size());
  for (NamedSeries& s : series) {
    Ref data = numpy_bridge::series_to_py(std::move(s.series));
    if (!data) return false;
    Ref obj = result_types::make_named(kind, std::move(s.name), std::move(data));
    if (!obj) return false;
    out.push_back(std::move(obj));
  }
  return true;
}

}  // namespace

Ref records_to_py(Records&& r) {
  Ref header = properties_to_py(std::move(r.header));
  if (!header) return {};
  std::vector<Ref> sweeps, traces, values;
  if (!series_objects(std::move(r.sweeps), result_types::Kind::Sweep, sweeps)) return {};
  if (!series_objects(std::move(r.traces), result_types::Kind::Trace, traces)) return {};
  values.reserve(r.values.size());
  numpy_bridge::StructKeys struct_keys;  // the dict keys of each struct type, for this result only
  for (NamedScalar& v : r.values) {
    Ref data = numpy_bridge::scalar_to_py(std::move(v.value), struct_keys);
    if (!data) return {};
    Ref obj = result_types::make_named(result_types::Kind::Value, std::move(v.name), std::move(data));
    if (!obj) return {};
    values.push_back(std::move(obj));
  }
  return result_types::make_psf(std::move(sweeps), std::move(traces), std::move(values),
                                std::move(header));
}

PyObject* raise_failure(FailureKind kind, const std::string& message) noexcept {
  return raise(kind == FailureKind::Io ? PyExc_OSError : PyExc_ValueError, message);
}

Ref read_psf_file(const std::string& path) {
  auto records = load_records(path);
  if (!records) return Ref::steal(raise_failure(records));
  return records_to_py(std::move(*records));
}

}  // namespace quarn::driver
