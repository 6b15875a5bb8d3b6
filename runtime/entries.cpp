// Method-table rows: records finished at start-up, docstrings, and the rows that need no dispatcher.
#include "kinds.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace kivo::rt {

// The Python type a declared C++ type takes or gives, for docstrings: numbers, booleans and text by
// name; a pointer or reference to anything else is a class; anything else by value an enumeration.
std::string python_type_of(const std::string& decl) {
    static const char* const ints[] = {"int32_t", "uint32_t", "uint16_t", "uint8_t", "int64_t", "uint64_t",
                                       "int", "unsigned int", "size_t"};
    std::string base = decl;
    for (const char* suffix : {" const &", " &", " const **", " **", " *&", " const *", " *"}) {
        std::size_t n = std::strlen(suffix);
        if (base.size() > n && base.compare(base.size() - n, n, suffix) == 0) {
            base = base.substr(0, base.size() - n);
            break;
        }
    }
    if (base == "bool") return "boolean";
    if (base == "double" || base == "float") return "float";
    if (base == "char" || base == "wchar_t" || base == "std::string") return "string";
    for (const char* i : ints)
        if (base == i) return "int";
    if (decl == base) return "int";
    return ":py:class:`" + base + "`";
}

namespace {

std::string doc_of(const Shape& s, const std::vector<const char*>& names, int given) {
    std::string doc;
    int item = 0;
    std::size_t name = 0;
    for (int k = 0; k < s.count; ++k) {
        const ParamShape& p = s.params[k];
        bool left_out = (p.flags & Param_Input) && item++ >= given;
        if (!(p.flags & Param_Documented)) continue;
        const char* pname = names[name++];
        if (left_out) continue;
        std::string type = p.kind->doc_type ? p.kind->doc_type(p) : python_type_of(p.decl());
        doc += ":type " + std::string(pname) + ": " + type + ((p.flags & Param_Output) ? ", out" : ", in") + "\n";
        doc += ":param " + std::string(pname) + ":\n";
    }
    std::string result = s.result->decl();
    if (!result.empty() && result != "void")
        doc += ":rtype: " + (s.result->doc_type ? s.result->doc_type() : python_type_of(result)) + "\n";
    return doc.empty() ? "\n" : doc;
}

std::string doc_of(const Entry& e) {
    if (e.cands.size() == 1 && !e.overloaded && !e.cands.front().shape->defaults)
        return doc_of(*e.cands.front().shape, e.cands.front().names, e.cands.front().shape->inputs);
    std::string doc;
    int n = 0;
    for (const Cand& c : e.cands) {
        for (int g = c.shape->inputs; g >= c.shape->inputs - c.shape->defaults; --g) {
            if (n) doc += "\n|\n\n";
            doc += "*Overload " + std::to_string(++n) + ":*\n" + doc_of(*c.shape, c.names, g);
        }
    }
    return doc;
}

// "Class::Member" of a wrapper: the flat name without "<Class>_".
std::string qualified(const Shape& s, const char* func, const char* member) {
    if (!s.owner) return func;
    std::string owner = s.owner;
    if (member) return owner + "::" + member;
    if (s.role == Role::Constructor) return owner + "::" + owner;
    std::string f = func;
    if (f.rfind(owner + "_", 0) == 0) f = f.substr(owner.size() + 1);
    return owner + "::" + f;
}

}  // namespace

std::string prototype_of(const Shape& s, int given, const char* func, const char* member) {
    std::string text = qualified(s, func, member) + "(";
    int item = 0;
    bool first = true;
    for (int k = 0; k < s.count; ++k) {
        const ParamShape& p = s.params[k];
        if ((p.flags & Param_Input) && item++ >= given) continue;   // left out: its default applies
        if (p.flags & Param_Self) continue;
        if (!*p.decl()) continue;   // a value the form returns without taking it
        text += (first ? "" : ",") + std::string(p.decl());
        if (p.decl2) text += "," + std::string(p.decl2());
        first = false;
    }
    bool const_method = s.count > 0 && s.params[0].kind == &kConstSelfKind;
    return text + (const_method ? ") const" : ")");
}

void finish_record(FuncRecord& rec, const std::vector<const Shape*>& declared, bool overloaded) {
    std::vector<Candidate> all;
    for (const Shape* s : declared)
        for (int g = s->inputs; g >= s->inputs - s->defaults; --g) all.push_back({s, static_cast<uint8_t>(g)});
    // Fewer items first, then by the rank of each input in turn: pointers before numbers before text.
    auto ranks = [](const Candidate& c) {
        std::vector<int> r;
        for (int k = 0; k < c.shape->count && static_cast<int>(r.size()) < c.given; ++k)
            if (c.shape->params[k].flags & Param_Input) r.push_back(c.shape->params[k].kind->precedence);
        return r;
    };
    std::vector<Candidate> tried = all;
    std::stable_sort(tried.begin(), tried.end(), [&](const Candidate& a, const Candidate& b) {
        if (a.given != b.given) return a.given < b.given;
        return ranks(a) < ranks(b);
    });
    // Records live as long as the process.
    auto* kept = new Candidate[tried.size()];
    std::copy(tried.begin(), tried.end(), kept);
    rec.tried = kept;
    rec.count = static_cast<int>(tried.size());
    rec.max_items = 0;
    rec.comparison = false;
    for (const Candidate& c : all) {
        rec.max_items = std::max<int>(rec.max_items, c.given);
        rec.comparison = rec.comparison || (c.shape->policy & Policy_Comparison);
    }
    rec.overloaded = overloaded || all.size() > 1;
    if (rec.overloaded) {
        std::string text = std::string("Wrong number or type of arguments for overloaded function '") + rec.name +
                           "'.\n  Possible C/C++ prototypes are:\n";
        for (const Candidate& c : all) text += "    " + prototype_of(*c.shape, c.given, rec.name, rec.member) + "\n";
        char* kept_text = new char[text.size() + 1];
        std::copy(text.c_str(), text.c_str() + text.size() + 1, kept_text);
        rec.overload_text = kept_text;
    }
}

Cand make_cand(const Shape* shape, std::initializer_list<const char*> names) { return Cand{shape, names}; }

Entry make_entry(const char* name, PyCFunction function, int flags, FuncRecord* record,
                 std::initializer_list<Cand> cands, bool overloaded, Role role, const char* owner) {
    return Entry{name, function, flags, record, cands, overloaded, nullptr, true, owner, role, nullptr, nullptr};
}

void append_method_defs(std::vector<PyMethodDef>& defs, std::vector<Entry>& entries) {
    static std::deque<std::string> docs;   // a method table lives as long as its module
    for (Entry& e : entries) {
        if (e.record) {
            if (e.record->tried) {
                std::fprintf(stderr, "method table: '%s' is declared twice\n", e.name);
                std::abort();
            }
            e.record->name = e.name;
            e.record->member = e.member;
            std::vector<const Shape*> shapes;
            for (const Cand& c : e.cands) shapes.push_back(c.shape);
            finish_record(*e.record, shapes, e.overloaded);
            register_record(e.function, e.record);
        }
        if (e.destroy)   // owned proxies die without a Python call
            register_destructor(e.function, e.destroy, e.forget, e.aliased, e.value_class);
        const Doc texts = doc_for(e.name);
        const char* doc = texts.whole;
        if (!doc && e.documented) {
            if (e.fixed_doc)
                doc = e.fixed_doc;
            else
                doc = docs.emplace_back((texts.summary ? std::string(texts.summary) + "\n\n" : std::string()) +
                                        doc_of(e) +
                                        (texts.returns ? ":return: " + std::string(texts.returns) + "\n" : std::string()))
                          .c_str();
        }
        defs.push_back({e.name, e.function, e.flags, doc});
    }
}

namespace {
const char* (*g_in_use)(const void* object) = nullptr;
}

void set_delete_guard(const char* (*in_use)(const void* object)) { g_in_use = in_use; }

// The proxy the conversion matched is the one released: with several in one object's chain, the
// others keep their objects.
PyObject* run_delete(PyObject* arg, SwigTypeInfo* ty, void (*destroy)(void*), void (*forget)(void*), const char* func,
                     const char* decl, bool borrowed) {
    if (!arg) return nullptr;
    void* p = nullptr;
    SwigPyObject* matched = nullptr;
    int res = SwigPyObject_ConvertPtrMatch(arg, &p, ty, 0, nullptr, &matched);
    if (res == SwigError_Released && SwigPyObject_RaiseIfReleased(arg)) return nullptr;
    if (res >= 0 && matched) {
        const char* user = nullptr;
        if (g_in_use && p && !(user = g_in_use(p)) && matched->ptr != p) user = g_in_use(matched->ptr);
        if (user) {
            PyErr_Format(PyExc_RuntimeError, "in method '%s', argument 1 of type '%s': %s", func, decl, user);
            return nullptr;
        }
        if (borrowed ? !p : matched->own != 1) res = borrowed ? SwigError_Type : SwigError_ReleaseNotOwned;
    }
    if (res < 0) {
        SwigRuntime_ArgumentError(res, func, 1, decl);
        return nullptr;
    }
    if (!matched) Py_RETURN_NONE;   // None
    matched->own = 0;
    SwigPyObject_ClearPointer(matched);
    if (!p) Py_RETURN_NONE;
    const Outcome outcome = guarded_call(false, [&] { destroy(p); });
    {
        const ErrorAside aside(outcome != Called);
        SwigPyObject_Release(p, matched, "deleted");
        if (forget) forget(p);
        settle_gone_if_any();
    }
    if (outcome != Called) return nullptr;
    Py_RETURN_NONE;
}

PyObject* swiginit_entry(PyObject*, PyObject* args) { return SwigPyObject_InitShadow(args); }

}  // namespace kivo::rt
