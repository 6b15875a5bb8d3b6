#include "module_block.h"

#include "class_table.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kivo::module {
namespace {

struct CastRow {
    TypeId wanted;
    TypeId derived;
    SwigConverterFunc convert;
};

// Which derived types may stand where a type is wanted, from the class table: each class's direct
// bases, and their ancestors reached through bases at the same address.
std::vector<CastRow> cast_rows() {
    std::vector<CastRow> out;
    auto add = [&](TypeId wanted, TypeId derived, SwigConverterFunc convert) {
        for (const CastRow& r : out)
            if (r.wanted == wanted && r.derived == derived) return;
        out.push_back({wanted, derived, convert});
    };
    const auto& table = class_table();
    auto row_of = [&](TypeId t) -> const ClassRow* {
        for (const ClassRow& r : table)
            if (r.type == t) return &r;
        return nullptr;
    };
    for (const ClassRow& row : table) {
        std::vector<BaseRow> todo = row.bases;
        for (std::size_t i = 0; i < todo.size(); ++i) {
            add(todo[i].base, row.type, todo[i].convert);
            if (todo[i].convert != same_pointer) continue;
            if (const ClassRow* base = row_of(todo[i].base))
                for (const BaseRow& up : base->bases)
                    if (up.convert == same_pointer) todo.push_back(up);
        }
    }
    for (const PointerCastRow& r : pointer_casts()) add(r.wanted, r.derived, same_pointer);
    return out;
}

constexpr int kCount = static_cast<int>(TypeId::Count);

struct Block {
    SwigTypeInfo types[kCount] = {
#define KIVO_TYPE_ROW(id, name, decl) {"_p_" #name, decl, nullptr, nullptr, nullptr, 0},
        KIVO_TYPE_TABLE(KIVO_TYPE_ROW)
#undef KIVO_TYPE_ROW
    };
    SwigTypeInfo* initial[kCount + 1] = {};
    std::vector<SwigCastInfo> casts[kCount];   // each: own entry, derived entries, terminator
    SwigCastInfo* cast_initial[kCount] = {};
    SwigModuleInfo info{};

    Block() {
        for (int i = 0; i < kCount; ++i) {
            initial[i] = &types[i];
            casts[i].push_back({&types[i], nullptr, nullptr, nullptr});
        }
        for (const CastRow& row : cast_rows())
            casts[static_cast<int>(row.wanted)].push_back({&types[static_cast<int>(row.derived)], row.convert,
                                                           nullptr, nullptr});
        for (int i = 0; i < kCount; ++i) {
            casts[i].push_back({nullptr, nullptr, nullptr, nullptr});
            cast_initial[i] = casts[i].data();
        }
        info = {g_types, static_cast<std::size_t>(kCount), nullptr, initial, cast_initial, nullptr};
    }
};

}  // namespace

namespace {
// Built when the module's library is loaded, before its initialisation function runs.
Block g_block;
}  // namespace

SwigModuleInfo& module_block() { return g_block.info; }

std::vector<std::string> table_problems() {
    std::vector<std::string> problems;
    const SwigTypeInfo* types = g_block.types;
    for (int i = 1; i < kCount; ++i)
        if (std::strcmp(types[i - 1].name, types[i].name) >= 0)
            problems.push_back(std::string("type table: ") + types[i - 1].name + " before " + types[i].name);
    auto named = [&](TypeId id) { return std::string(types[static_cast<int>(id)].name); };
    const std::vector<TypeId>& bound = bound_classes();
    auto is_bound = [&](TypeId id) { return std::find(bound.begin(), bound.end(), id) != bound.end(); };
    for (const ClassRow& row : class_table())
        if (row.entries && !is_bound(row.type)) problems.push_back("class " + std::string(row.name) + ": not bound");
    for (TypeId id : bound) {
        bool has_row = false;
        for (const ClassRow& row : class_table()) has_row = has_row || row.type == id;
        if (!has_row) problems.push_back("bound " + named(id) + ": no class row");
    }
    // Every docstring text is given once, to a row that exists.
    std::vector<const char*> rows;
    auto add = [&](const Entries& entries) {
        for (const kivo::rt::Entry& e : entries) rows.push_back(e.name);
    };
    for (const ClassRow& row : class_table())
        if (row.entries) add(row.entries());
    add(free_function_entries());
    for (std::string& p : kivo::rt::doc_problems(rows)) problems.push_back(std::move(p));
    return problems;
}

}  // namespace kivo::module
