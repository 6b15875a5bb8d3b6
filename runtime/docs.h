// Docstring texts stand apart from the rows of a class, in a table keyed by the flat name, so that
// each row stays one line:
//
//     const DocTable kDocs{
//         summary("TqDevice_Free", "Frees an object allocated with CreateAndConnect."),
//         returns("TqDeviceInfo_GetIPAddress", "The device's IP address."),
//     };
//
// A row's docstring is generated from its candidates: a summary goes before it, a returns text after
// it (":return:"), and a whole text stands in its place (also for rows that have no docstring of
// their own, such as constructors and destructors).
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace kivo::rt {

struct Doc {
    const char* name;   // the flat function
    const char* summary;
    const char* returns;
    const char* whole;
};

constexpr Doc summary(const char* name, const char* text) { return {name, text, nullptr, nullptr}; }
constexpr Doc returns(const char* name, const char* text) { return {name, nullptr, text, nullptr}; }
constexpr Doc whole(const char* name, const char* text) { return {name, nullptr, nullptr, text}; }

// One class's texts, entered while the library loads and read when the method table is built. A row
// may have a summary and a returns text, each given once.
struct DocTable {
    DocTable(std::initializer_list<Doc> docs);
};

// The texts given for the row named name (all null when none).
Doc doc_for(const char* name);

// What is wrong with the tables: a text given twice for one row, or texts for a name that none of
// the rows (their flat names) has. Empty when all is well.
std::vector<std::string> doc_problems(const std::vector<const char*>& rows);

}  // namespace kivo::rt
