// TqSessionInfo: a plain record of one announced session. Its strings are read as views of the
// record's own fields (each view keeps the record's proxy alive) and written from TqString proxies.
#include "classes.h"
#include "sdk_types.h"

#include "TqSessionInfo.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using Info = TqSessionInfo;

// A setter given None as self changes nothing.
template <TqString Info::*M>
struct TextField {
    static void set(Info* self, const TqString* value) {
        if (self) self->*M = *value;
    }
    static TqString* view(Info* self) { return &(self->*M); }
};

void set_port(Info* self, uint16_t value) {
    if (self) self->mPort = value;
}
uint16_t get_port(Info* self) { return self->mPort; }

template <Text SetName, Text GetName, TqString Info::*M>
void text_field(Entries& out) {
    using F = TextField<M>;
    out.push_back(as_role(
        undocumented(function<SetName, &F::set, Default, Params<Info*, NotNone<TqString*>>>("self", "value")),
        Role::FieldSet));
    out.push_back(as_role(undocumented(method<GetName, &F::view, KeepAlive<1>>()), Role::FieldGet));
}

}  // namespace

Entries session_info_entries() {
    Entries out = {
        undocumented(constructor_entry<"new_TqSessionInfo", Info>()),
        undocumented(delete_entry<"delete_TqSessionInfo", Info>()),
    };
    text_field<"TqSessionInfo_mName_set", "TqSessionInfo_mName_get", &Info::mName>(out);
    text_field<"TqSessionInfo_mAddress_set", "TqSessionInfo_mAddress_get", &Info::mAddress>(out);
    out.push_back(as_role(undocumented(function<"TqSessionInfo_mPort_set", &set_port>("self", "value")),
                          Role::FieldSet));
    out.push_back(as_role(undocumented(method<"TqSessionInfo_mPort_get", &get_port>()), Role::FieldGet));
    text_field<"TqSessionInfo_mLocalAddress_set", "TqSessionInfo_mLocalAddress_get", &Info::mLocalAddress>(out);
    out.push_back(registration<"TqSessionInfo_swigregister", Info>());
    out.push_back(initialisation<"TqSessionInfo_swiginit">());
    return out;
}

}  // namespace kivo::module
