#include "docs.h"

#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace kivo::rt {

namespace {

struct Texts {
    std::unordered_map<std::string_view, Doc> by_name;
    std::vector<std::string> twice;   // names given the same kind of text twice
};

Texts& texts() {
    static Texts all;   // filled while the library loads
    return all;
}

// Puts text into slot, noting a second text for the same slot.
void enter(const char*& slot, const char* text, const char* name) {
    if (!text) return;
    if (slot) texts().twice.push_back(name);
    slot = text;
}

}  // namespace

DocTable::DocTable(std::initializer_list<Doc> docs) {
    for (const Doc& d : docs) {
        auto [it, made] = texts().by_name.try_emplace(d.name, Doc{d.name, nullptr, nullptr, nullptr});
        enter(it->second.summary, d.summary, d.name);
        enter(it->second.returns, d.returns, d.name);
        enter(it->second.whole, d.whole, d.name);
    }
}

Doc doc_for(const char* name) {
    const auto& by_name = texts().by_name;
    auto it = by_name.find(name);
    return it == by_name.end() ? Doc{name, nullptr, nullptr, nullptr} : it->second;
}

std::vector<std::string> doc_problems(const std::vector<const char*>& rows) {
    std::vector<std::string> problems;
    for (const std::string& name : texts().twice) problems.push_back("docstrings: " + name + " given twice");
    std::unordered_set<std::string_view> names;
    for (const char* row : rows) names.insert(row);
    for (const auto& [name, doc] : texts().by_name)
        if (!names.count(name)) problems.push_back("docstrings: no row " + std::string(name));
    return problems;
}

}  // namespace kivo::rt
