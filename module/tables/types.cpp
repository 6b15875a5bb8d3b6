#include "types.h"

namespace kivo::module {

SwigTypeInfo* g_types[static_cast<int>(TypeId::Count) + 1] = {};

namespace {
std::vector<TypeId>& bound() {
    static std::vector<TypeId> ids;   // filled while the library loads
    return ids;
}
}  // namespace

bool note_bound(TypeId id) {
    bound().push_back(id);
    return true;
}

const std::vector<TypeId>& bound_classes() { return bound(); }

}  // namespace kivo::module
