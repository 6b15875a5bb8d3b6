// What the device wrappers share: records and interfaces handed out by the SDK become borrowed
// proxies of their most derived kind.
#pragma once

#include "classes.h"
#include "sdk_types.h"

#include "TqDeviceInfo.h"
#include "TqInterface.h"

namespace kivo::module {

// A borrowed proxy of the first kind in Kinds that the object is, else of Base; None for null.
template <class Base, class... Kinds>
struct MostDerivedOf {
    static SwigTypeInfo* type_of(const Base* p) {
        SwigTypeInfo* ty = nullptr;
        ((dynamic_cast<const Kinds*>(p) ? (ty = kivo::rt::TypeOf<Kinds>::descriptor(), true) : false) || ...);
        return ty ? ty : kivo::rt::TypeOf<Base>::descriptor();
    }
    static PyObject* make(void* storage, kivo::rt::CallFrame& f) {
        auto* p = static_cast<Base*>(kivo::rt::result_as<void*>(storage));
        if (!p) Py_RETURN_NONE;
        return kivo::rt::new_result_proxy(p, type_of(p), 0, f);
    }
    static std::string doc() { return kivo::rt::class_doc_type(kivo::rt::TypeOf<Base>::name); }
    static constexpr kivo::rt::ResultKind kind{make, nullptr, nullptr, &kivo::rt::decl_text<Base*>, &doc};
};

// Records: GigE Vision, the maker's protocol, USB3 Vision before plain USB.
using DeviceInfoKinds =
    MostDerivedOf<TqDeviceInfo, TqDeviceInfoGEV, TqDeviceInfoZelvraProtocol, TqDeviceInfoU3V, TqDeviceInfoUSB>;
using InterfaceKinds = MostDerivedOf<TqInterface, TqNetworkAdapter, TqUSBHostController>;

// A borrowed record or interface, typed by its kind, that keeps the argument at Position alive.
template <int Position = 1>
using RecordOfKind = kivo::rt::ResultAs<&DeviceInfoKinds::kind, kivo::rt::KeepAlive<Position>>;
template <int Position = 1>
using InterfaceOfKind = kivo::rt::ResultAs<&InterfaceKinds::kind, kivo::rt::KeepAlive<Position>>;

// A copy that only the caller can free: an owned proxy of the base class.
template <class T>
using OwnedCopy = kivo::rt::ResultAs<&kivo::rt::OwnedResult<T>::kind>;

}  // namespace kivo::module
