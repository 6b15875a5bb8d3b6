#include "wrap.h"

#include <cstring>
#include <deque>

namespace kivo::rt {

SwigTypeInfo* TypeOf<TqResult>::descriptor() {
    static SwigTypeInfo* info = SwigRuntime_QueryType("_p_TqResult");
    return info;
}

SwigTypeInfo* TypeOf<TqString>::descriptor() {
    static SwigTypeInfo* info = SwigRuntime_QueryType("_p_TqString");
    return info;
}

bool Arg<const TqString&>::convert(PyObject* o, const ArgContext& c) {
    void* p = nullptr;
    if (SwigPyObject_ConvertPtr(o, &p, TypeOf<TqString>::descriptor(), SwigConvert_NoNull, nullptr) >= 0 && p) {
        ptr = static_cast<TqString*>(p);
        return true;
    }
    if (o != Py_None) {
        wchar_t* wide = nullptr;
        int alloc = 0;
        if (SwigAs_WCharPtrAndSize(o, &wide, nullptr, &alloc) >= 0 && wide) {
            local.emplace(wide);
            if (alloc == SwigFlag_NewObject) delete[] wide;
            return true;
        }
        char* narrow = nullptr;
        if (SwigAs_CharPtrAndSize(o, &narrow, nullptr, &alloc) >= 0 && narrow) {
            local.emplace(narrow);
            if (alloc == SwigFlag_NewObject) delete[] narrow;
            return true;
        }
    }
    std::string text = "Argument " + std::to_string(c.position) + ": failed to create TqString from Python string";
    SwigRuntime_SetErrorMsg(PyExc_TypeError, text.c_str());
    return false;
}

bool Arg<const TqString&>::check(PyObject* o) {
    if (SwigPyObject_ConvertPtr(o, nullptr, TypeOf<TqString>::descriptor(), SwigConvert_NoNull, nullptr) >= 0)
        return true;
    if (SwigAs_CharPtrAndSize(o, nullptr, nullptr, nullptr) >= 0) return true;
    SwigTypeInfo* pwchar = SwigRuntime_WCharDescriptor();
    return pwchar && SwigPyObject_ConvertPtr(o, nullptr, pwchar, 0, nullptr) >= 0;
}

PyObject* swiginit_entry(PyObject*, PyObject* args) { return SwigPyObject_InitShadow(args); }

void append_method_defs(std::vector<PyMethodDef>& defs, const std::vector<Entry>& entries) {
    static std::deque<std::string> docs;   // a method table lives as long as its module
    for (const Entry& e : entries)
        defs.push_back({e.name, e.function, e.flags, e.doc ? docs.emplace_back(e.doc(e.names)).c_str() : nullptr});
}

std::string member_of(const char* flat, const char* cls) {
    std::string f = flat;
    if (f.rfind("new_", 0) == 0) return f.substr(4);
    std::string prefix = std::string(cls) + "_";
    if (*cls && f.rfind(prefix, 0) == 0) return f.substr(prefix.size());
    return f;
}

std::string python_type_of(const std::string& decl) {
    static const char* const ints[] = {"int32_t", "uint32_t", "uint16_t", "uint8_t", "int64_t", "uint64_t",
                                       "int", "unsigned int", "size_t"};
    std::string base = decl;
    for (const char* suffix : {" const &", " &", " const *", " *"}) {
        std::size_t n = std::strlen(suffix);
        if (base.size() > n && base.compare(base.size() - n, n, suffix) == 0) {
            base = base.substr(0, base.size() - n);
            break;
        }
    }
    if (base == "bool") return "boolean";
    if (base == "double" || base == "float") return "float";
    if (base == "char" || base == "wchar_t" || base == "TqString") return "string";
    for (const char* i : ints)
        if (base == i) return "int";
    if (base.rfind("Tq", 0) == 0 || base.rfind("ITq", 0) == 0) {
        // Enumerations are ints; classes name their Python class.
        if (decl == base) return "int";
        return ":py:class:`" + base + "`";
    }
    return base;
}

namespace {

std::vector<std::string> split(const char* text, char sep) {
    std::vector<std::string> out;
    if (!text) return out;
    std::string cur;
    for (const char* p = text;; ++p) {
        if (*p == sep || *p == 0) {
            out.push_back(cur);
            cur.clear();
            if (!*p) break;
        } else if (*p != ' ') {
            cur.push_back(*p);
        }
    }
    return out;
}

}  // namespace

std::string format_doc(const DocInfo& info, const char* names) {
    std::vector<std::string> n = split(names, ',');
    std::string doc;
    for (std::size_t i = 0; i < info.params.size(); ++i) {
        std::string pname = i < n.size() && !n[i].empty() ? n[i] : "arg" + std::to_string(i + 1);
        doc += ":type " + pname + ": " + info.types[i] + (info.outputs[i] ? ", out" : ", in") + "\n";
        doc += ":param " + pname + ":\n";
    }
    if (!info.result.empty() && info.result != "void") {
        // Values returned by value come back as class instances.
        const std::string& r = info.result;
        bool value_class = r == "TqResult" || r == "TqString";
        doc += ":rtype: " + (value_class ? ":py:class:`" + r + "`" : python_type_of(r)) + "\n";
    }
    if (doc.empty()) doc = "\n";
    return doc;
}

std::string format_prototype(const DocInfo& info) {
    std::string p = info.qualified + "(";
    for (std::size_t i = 0; i < info.params.size(); ++i) p += (i ? "," : "") + info.params[i];
    return p + ")";
}

std::string overload_doc(const std::vector<DocInfo>& infos, const char* names) {
    std::vector<std::string> per = split(names, ';');
    std::string doc;
    for (std::size_t i = 0; i < infos.size(); ++i) {
        if (i) doc += "\n|\n\n";
        doc += "*Overload " + std::to_string(i + 1) + ":*\n";
        doc += format_doc(infos[i], i < per.size() ? per[i].c_str() : "");
    }
    return doc;
}

}  // namespace kivo::rt
