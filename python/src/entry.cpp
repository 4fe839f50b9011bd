#include "entry.hpp"

#include <cstring>

#include "convert.hpp"
#include "core/error.hpp"

namespace quorvel::py {
namespace {

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(' ');
    std::size_t e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

Signature Signature::parse(const char* doc) {
    std::string text(doc);
    std::size_t open = text.find('(');
    std::size_t close = text.find(')');
    QV_ASSERT(open != std::string::npos && close != std::string::npos && open < close,
              "docstring must start with a text signature");
    Signature sig;
    sig.func = text.substr(0, open);
    std::string list = text.substr(open + 1, close - open - 1);
    std::size_t pos = 0;
    while (pos <= list.size()) {
        std::size_t comma = list.find(',', pos);
        if (comma == std::string::npos) comma = list.size();
        std::string item = trim(list.substr(pos, comma - pos));
        pos = comma + 1;
        if (item.empty() || item == "$self") continue;
        Param p;
        std::size_t eq = item.find('=');
        p.name = trim(item.substr(0, eq));
        if (eq != std::string::npos) {
            p.required = false;
            p.none_default = trim(item.substr(eq + 1)) == "None";
        }
        sig.params.push_back(std::move(p));
    }
    QV_ASSERT(sig.params.size() <= kMaxParams, "too many parameters in a text signature");
    bool optional_started = false;
    for (const Param& p : sig.params) {
        if (!p.required && !optional_started) {
            sig.format += '|';
            optional_started = true;
        }
        sig.format += 'O';
    }
    sig.format += ':' + sig.func;
    return sig;
}

std::size_t Signature::index(const char* name) const {
    for (std::size_t i = 0; i < params.size(); ++i)
        if (params[i].name == name) return i;
    panic_at(__FILE__, __LINE__, "unknown parameter '" + std::string(name) + "' of " + func);
}

Args::Args(const Signature& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
    std::vector<char*> kwlist;
    for (const auto& p : sig.params) kwlist.push_back(const_cast<char*>(p.name.c_str()));
    kwlist.push_back(nullptr);
    PyObject** v = values_.data();
    // The format consumes one pointer per parameter; the rest of the fixed list is ignored.
    int ok = PyArg_ParseTupleAndKeywords(
        args, kwargs, sig.format.c_str(), kwlist.data(), &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7],
        &v[8], &v[9], &v[10], &v[11], &v[12], &v[13], &v[14], &v[15], &v[16], &v[17], &v[18], &v[19], &v[20],
        &v[21], &v[22], &v[23], &v[24], &v[25], &v[26], &v[27], &v[28], &v[29], &v[30], &v[31]);
    if (!ok) throw ErrorAlreadySet{};
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (sig.params[i].none_default && values_[i] == Py_None) values_[i] = nullptr;
        Py_XINCREF(values_[i]);
    }
}

Args::~Args() {
    for (PyObject* v : values_) Py_XDECREF(v);
}

PyTypeObject* make_type(const char* qualified_name, const char* doc, std::size_t basicsize, destructor dealloc,
                        std::vector<PyMethodDef> methods, std::vector<PyGetSetDef> props) {
    // The PyType_Spec and its tables must outlive the type: they are kept for the whole process.
    auto* m = new std::vector<PyMethodDef>(std::move(methods));
    m->push_back({nullptr, nullptr, 0, nullptr});
    auto* g = new std::vector<PyGetSetDef>(std::move(props));
    g->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    auto* slots = new std::vector<PyType_Slot>{
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_methods, m->data()},
        {Py_tp_getset, g->data()},
        {0, nullptr},
    };
    auto* spec = new PyType_Spec{qualified_name, static_cast<int>(basicsize), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                                 slots->data()};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
}

void raise_not_instance_of(PyObject* o, const char* expected) { raise_not_instance(o, expected); }

}  // namespace quorvel::py
