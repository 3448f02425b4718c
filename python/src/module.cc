// tesra._tesra: the compiled half of the Python package. It binds the reader of reader.h and
// turns its columns into numpy arrays; the typed, documented interface is tesra/__init__.py.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <type_traits>

#include "reader.h"
#include "series_reader.h"

namespace py = pybind11;
using tesra::py::Column;
using tesra::py::Reader;
using tesra::py::ReaderError;
using tesra::py::SeriesReader;

namespace {

// A numpy array that owns the vector's buffer: no copy of the values.
template <class Vector>
py::array take(Vector &&values) {
    using T = typename std::remove_reference_t<Vector>::value_type;
    using Owned = std::remove_cvref_t<Vector>;
    auto *heap = new Owned(std::move(values));
    py::capsule owner(heap, [](void *p) { delete static_cast<Owned *>(p); });
    return py::array_t<T>(static_cast<py::ssize_t>(heap->size()), heap->data(), owner);
}

// A column as numpy: numbers as uint32/uint64 arrays, strings as (codes, distinct strings).
py::object column_object(Column &c) {
    switch (c.kind) {
        case Column::Kind::kU32:
            return take(std::move(c.u32));
        case Column::Kind::kU64:
            return take(std::move(c.u64));
        case Column::Kind::kString:
            break;
    }
    py::list strings;
    for (const auto &s : c.strings) {
        // Archive text is bytes; anything that is not UTF-8 still comes out, escaped.
        PyObject *text = PyUnicode_DecodeUTF8(s.data(), static_cast<py::ssize_t>(s.size()),
                                              "backslashreplace");
        if (text == nullptr) throw py::error_already_set();
        strings.append(py::reinterpret_steal<py::object>(text));
    }
    return py::make_tuple(take(std::move(c.codes)), strings);
}

// (name, values, missing): `missing` is None, or a bool array marking rows without a value.
py::list columns_object(std::vector<Column> &columns) {
    py::list out;
    for (auto &c : columns) {
        py::object missing = py::none();
        if (!c.missing.empty()) {
            c.missing.resize(c.size(), 0);
            missing = take(std::move(c.missing)).attr("view")("bool");
        }
        out.append(py::make_tuple(c.name, column_object(c), missing));
    }
    return out;
}

py::dict values_object(tesra::py::ValuesResult &result) {
    py::dict d;
    d["period"] = result.period;
    d["times"] = take(std::move(result.times));
    d["row_time"] = take(std::move(result.row_time));
    d["keys"] = columns_object(result.keys);
    d["columns"] = columns_object(result.columns);
    return d;
}

tesra::py::ValuesRequest values_request(const std::string &object,
                                        const std::vector<std::string> &counters,
                                        std::optional<uint64_t> start,
                                        std::optional<uint64_t> end,
                                        std::optional<uint64_t> period,
                                        const std::vector<std::pair<std::string, std::string>> &keys) {
    tesra::py::ValuesRequest request;
    request.object = object;
    request.counters = counters;
    request.has_start = start.has_value();
    request.start = start.value_or(0);
    request.has_end = end.has_value();
    request.end = end.value_or(0);
    request.has_period = period.has_value();
    request.period = period.value_or(0);
    request.keys = keys;
    return request;
}

py::dict counter_object(const tesra::py::CounterDef &c) {
    py::dict d;
    d["id"] = c.id;
    d["name"] = c.name;
    d["description"] = c.description;
    d["is_key"] = c.is_key;
    d["ctype"] = c.ctype;
    d["size"] = c.size;
    d["periods"] = c.periods;
    d["x_labels"] = c.x_names;
    d["y_labels"] = c.y_names;
    d["columns"] = c.column_names();
    return d;
}

// Iterates a record walk; keeps the reader alive, and fails cleanly once it is closed or a
// later walk has taken the file handle's place.
class RecordIterator {
public:
    RecordIterator(std::shared_ptr<Reader> reader, tesra_order_type_t order, uint64_t start)
        : reader_(std::move(reader)), walk_(reader_->start_walk(order, start)) {}

    py::tuple next() {
        if (done_) throw py::stop_iteration();
        bool more = false;
        {
            py::gil_scoped_release unlocked;
            more = reader_->next_record(walk_, last_);
        }
        if (!more) {
            done_ = true;
            throw py::stop_iteration();
        }
        return py::make_tuple(last_.time, last_.object, last_.period, last_.size,
                              last_.instances);
    }

private:
    std::shared_ptr<Reader> reader_;
    uint64_t walk_;
    tesra::py::RecordInfo last_;
    bool done_ = false;
};

}  // namespace

PYBIND11_MODULE(_tesra, m) {
    m.doc() = "Compiled reader of tesra archives; use the tesra package instead.";

    // Reader failures become the package's exception classes (tesra._errors), which carry the
    // result label, the archive and the operation.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const ReaderError &e) {
            py::object make = py::module_::import("tesra._errors").attr("_from_reader");
            py::object error = make(static_cast<int>(e.code()), tesra::py::error_label(e.code()),
                                    e.archive(), e.operation());
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
        }
    });

    m.def("error_label", [](int code) {
        return tesra::py::error_label(static_cast<tesra_error_t>(code));
    });

    py::class_<RecordIterator>(m, "_RecordIterator")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &RecordIterator::next);

    py::class_<Reader, std::shared_ptr<Reader>>(m, "_Reader")
        .def(py::init([](const std::string &base) {
                 py::gil_scoped_release unlocked;
                 return std::make_shared<Reader>(base);
             }),
             py::arg("base"))
        .def("close", &Reader::close, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("closed", [](const Reader &r) { return !r.is_open(); })
        .def_property_readonly("base", &Reader::base)
        .def("info",
             [](Reader &r) {
                 tesra::py::ArchiveInfo info;
                 {
                     py::gil_scoped_release unlocked;
                     info = r.info();
                 }
                 py::dict d;
                 d["base"] = info.base;
                 d["meta_path"] = info.meta_path;
                 d["data_path"] = info.data_path;
                 d["version"] = py::make_tuple(info.major, info.minor);
                 d["base_time"] = info.base_time;
                 d["start_time"] = info.start_time;
                 d["end_time"] = info.end_time;
                 d["generation_id"] = info.generation_id;
                 d["preset_version"] = info.preset_version;
                 py::dict system;
                 for (const auto &[k, v] : info.system) system[py::str(k)] = v;
                 d["system"] = system;
                 d["being_written"] = info.being_written;
                 return d;
             })
        .def("objects",
             [](Reader &r) {
                 std::vector<tesra::py::ObjectDef> objects;
                 {
                     py::gil_scoped_release unlocked;
                     objects = r.objects();
                 }
                 py::list out;
                 for (const auto &o : objects) out.append(py::make_tuple(o.name, o.id, o.periods));
                 return out;
             })
        .def("counters",
             [](Reader &r, const std::string &object) {
                 std::vector<tesra::py::CounterDef> defs;
                 {
                     py::gil_scoped_release unlocked;
                     defs = r.counters(object);
                 }
                 py::list out;
                 for (const auto &c : defs) out.append(counter_object(c));
                 return out;
             })
        .def("timestamps",
             [](Reader &r, const std::string &object, uint64_t period) {
                 std::vector<uint64_t> times;
                 {
                     py::gil_scoped_release unlocked;
                     times = r.timestamps(object, period);
                 }
                 return take(std::move(times));
             })
        .def(
            "values",
            [](Reader &r, const std::string &object, const std::vector<std::string> &counters,
               std::optional<uint64_t> start, std::optional<uint64_t> end,
               std::optional<uint64_t> period,
               const std::vector<std::pair<std::string, std::string>> &keys) {
                tesra::py::ValuesRequest request =
                    values_request(object, counters, start, end, period, keys);
                tesra::py::ValuesResult result;
                {
                    py::gil_scoped_release unlocked;
                    result = r.values(request);
                }
                return values_object(result);
            },
            py::arg("object"), py::arg("counters"), py::arg("start"), py::arg("end"),
            py::arg("period"), py::arg("keys"))
        .def(
            "records",
            [](std::shared_ptr<Reader> r, bool stream_order, uint64_t start) {
                return RecordIterator(std::move(r),
                                      stream_order ? TESRA_RAW_ORDER : TESRA_LINEAR_ORDER, start);
            },
            py::arg("stream_order"), py::arg("start"))
        .def("linear_walk", &Reader::linear_walk, py::call_guard<py::gil_scoped_release>());

    py::class_<SeriesReader, std::shared_ptr<SeriesReader>>(m, "_Series")
        .def(py::init([](const std::vector<std::string> &sources,
                         std::optional<std::string> node, bool strict) {
                 py::gil_scoped_release unlocked;
                 return std::make_shared<SeriesReader>(sources, node, strict);
             }),
             py::arg("sources"), py::arg("node"), py::arg("strict"))
        .def("close", &SeriesReader::close, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("closed", [](const SeriesReader &s) { return !s.is_open(); })
        .def_property_readonly("name", &SeriesReader::name)
        .def("members",
             [](SeriesReader &s) {
                 std::vector<tesra::py::SeriesMember> members;
                 {
                     py::gil_scoped_release unlocked;
                     members = s.members();
                 }
                 py::list out;
                 for (const auto &member : members) {
                     py::dict d;
                     d["base"] = member.base;
                     d["file_index"] = member.file_index;
                     d["hostname"] = member.hostname;
                     d["node_uuid"] = member.node_uuid;
                     d["contents_known"] = member.contents_known;
                     d["first"] = member.first;
                     d["last"] = member.last;
                     d["window_start"] = member.window_start;
                     d["window_end"] = member.window_end;
                     d["state"] = member.state;
                     out.append(d);
                 }
                 return out;
             })
        .def("findings",
             [](SeriesReader &s) {
                 py::list out;
                 for (const auto &f : s.findings()) {
                     py::dict d;
                     d["kind"] = f.kind;
                     d["is_error"] = f.is_error;
                     d["member"] = f.member;
                     d["other"] = f.other;
                     d["path"] = f.path;
                     d["from"] = f.from;
                     d["to"] = f.to;
                     d["message"] = f.message;
                     out.append(d);
                 }
                 return out;
             })
        .def("catalogue",
             [](SeriesReader &s) {
                 std::vector<tesra::py::SeriesObject> objects;
                 {
                     py::gil_scoped_release unlocked;
                     objects = s.catalogue();
                 }
                 py::list out;
                 for (const auto &o : objects) {
                     py::list counters;
                     for (const auto &c : o.counters) {
                         py::dict d;
                         d["id"] = c.id;
                         d["name"] = c.name;
                         d["description"] = c.description;
                         d["is_key"] = c.is_key;
                         d["ctype"] = c.ctype;
                         d["size"] = c.size;
                         d["num_values"] = c.num_values;
                         d["periods"] = c.periods;
                         d["first_member"] = c.first_member;
                         d["changed"] = c.changed;
                         counters.append(d);
                     }
                     py::dict d;
                     d["name"] = o.name;
                     d["id"] = o.id;
                     d["periods"] = o.periods;
                     d["first_member"] = o.first_member;
                     d["last_member"] = o.last_member;
                     d["counters"] = counters;
                     out.append(d);
                 }
                 return out;
             })
        .def("timestamps",
             [](SeriesReader &s, const std::string &object, uint64_t period) {
                 std::vector<uint64_t> times;
                 {
                     py::gil_scoped_release unlocked;
                     times = s.timestamps(object, period);
                 }
                 return take(std::move(times));
             })
        .def(
            "values",
            [](SeriesReader &s, const std::string &object, const std::vector<std::string> &counters,
               std::optional<uint64_t> start, std::optional<uint64_t> end,
               std::optional<uint64_t> period,
               const std::vector<std::pair<std::string, std::string>> &keys,
               const std::vector<std::pair<std::string, std::vector<std::string>>> &labels) {
                tesra::py::SeriesValuesRequest request{
                    values_request(object, counters, start, end, period, keys), labels};
                tesra::py::ValuesResult result;
                {
                    py::gil_scoped_release unlocked;
                    result = s.values(request);
                }
                return values_object(result);
            },
            py::arg("object"), py::arg("counters"), py::arg("start"), py::arg("end"),
            py::arg("period"), py::arg("keys"), py::arg("labels"));
}
