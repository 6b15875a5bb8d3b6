// The director of a stream source: one declaration of the 40 virtual functions of
// ITqStreamingChannelSource in slot order, instantiated for each class Python may subclass
// (ITqStreamingChannelSource, and the SDK's ready-made TqStreamingChannelSourceDefault), and the rows
// of their flat functions <Class>_<Operation>.
//
//     using D = SourceDirector<ITqStreamingChannelSource, "ITqStreamingChannelSource", false>;
//     Entries rows = source_operations<D>();
//
// Concrete says whether the SDK class implements the operations the interface leaves pure (then the
// subclass's up-call runs the SDK's code); QueueBuffer and RetrieveBuffer stay pure in every class.
// What reaches Python: unsigned values as non-negative ints, int, enumerations and the port signed (a
// pixel type with bit 31 set arrives negative), the destination address as an owned TqString, buffers
// as borrowed proxies, the out-references of GetTxNumBuffersToUse and RetrieveBuffer as bare pointer
// objects. What comes back is checked per operation with the texts below; a tuple's items are read by
// index, each written to its out-reference as it passes.
#pragma once

#include "arg_kinds.h"
#include "classes.h"
#include "directors.h"

#include "ITqStreamingChannelSource.h"
#include "TqBuffer.h"

namespace kivo::module {

// "Python method <Class>.<Method>failed to return a tuple.": the refusal of an object that is no tuple.
template <kivo::rt::Text Class, kivo::rt::Text Method>
inline constexpr auto kNoTuple = kivo::rt::joined<"Python method ", Class, ".", Method, "failed to return a tuple.">;
// "<Method> failed to return a <N>-tuple": an item missing.
template <kivo::rt::Text Method, kivo::rt::Text Count>
inline constexpr auto kShortTuple = kivo::rt::joined<Method, " failed to return a ", Count, "-tuple">;

// A buffer an override hands back: None is null; a TqBuffer proxy gives its pointer (disown: the
// proxy's own flag is cleared and its former value given in own); anything else is a type mismatch.
TqBuffer* callback_buffer(PyObject* o, bool disown, int* own = nullptr);

template <class Sdk, kivo::rt::Text Class, bool Concrete>
class SourceDirector : public kivo::rt::DirectorOf<Sdk, Class> {
    using Base = kivo::rt::DirectorOf<Sdk, Class>;
    // The operations the interface leaves pure: implemented by a concrete SDK class.
    static constexpr bool kPure = !Concrete;

public:
    KIVO_DIRECTOR_OF(Base)

    KIVO_CONST_VIRTUAL(uint32_t, GetWidth, kPure)
    KIVO_CONST_VIRTUAL(uint32_t, GetHeight, kPure)
    KIVO_CONST_VIRTUAL(uint32_t, GetOffsetX, kPure)
    KIVO_CONST_VIRTUAL(uint32_t, GetOffsetY, kPure)
    KIVO_CONST_VIRTUAL(TqPixelType, GetPixelType, kPure)
    KIVO_CONST_VIRTUAL_INFO(void, GetWidthInfo, kPure, uint32_t&, uint32_t&, uint32_t&)
    void GetWidthInfo(uint32_t& aMin, uint32_t& aMax, uint32_t& aInc) const override {
        Limits<V_GetWidthInfo>(aMin, aMax, aInc);
    }
    KIVO_CONST_VIRTUAL_INFO(void, GetHeightInfo, kPure, uint32_t&, uint32_t&, uint32_t&)
    void GetHeightInfo(uint32_t& aMin, uint32_t& aMax, uint32_t& aInc) const override {
        Limits<V_GetHeightInfo>(aMin, aMax, aInc);
    }
    KIVO_CONST_VIRTUAL(uint32_t, GetChunksSize, kPure)
    KIVO_CONST_VIRTUAL(uint32_t, GetPayloadSize, kPure)
    KIVO_CONST_VIRTUAL(TqScanType, GetScanType, kPure)
    KIVO_CONST_VIRTUAL(bool, GetChunkModeActive, kPure)
    KIVO_CONST_VIRTUAL(bool, GetChunkEnable, kPure, uint32_t)
    KIVO_CONST_VIRTUAL_INFO(TqResult, GetSupportedPixelType, kPure, int, TqPixelType&)
    TqResult GetSupportedPixelType(int aIndex, TqPixelType& aPixelType) const override {
        using namespace kivo::rt;
        return this->template forward_with<V_GetSupportedPixelType>(
            [&](PyObject* returned) {
                static const TupleRule rule{kNoTuple<Class, "GetSupportedPixelType">.c_str(),
                                            "GetSupportedPixelType failed to return a 2-tuple", 2};
                const CallbackTuple items(returned, rule);
                TqResult result = CallbackResult<TqResult>::from(items[0], "GetSupportedPixelType");
                aPixelType = static_cast<TqPixelType>(callback_value<int32_t, SwigAs_Int32>(items[1], "TqPixel"));
                return result;
            },
            aIndex);
    }
    KIVO_CONST_VIRTUAL_INFO(TqResult, GetSupportedChunk, kPure, int, uint32_t&, TqString&)
    TqResult GetSupportedChunk(int aIndex, uint32_t& aChunkID, TqString& aChunkName) const override {
        using namespace kivo::rt;
        return this->template forward_with<V_GetSupportedChunk>(
            [&](PyObject* returned) {
                static const TupleRule rule{kNoTuple<Class, "GetSupportedChunk">.c_str(),
                                            kShortTuple<"GetSupportedChunk", "3">.c_str(), 0};
                const CallbackTuple items(returned, rule);
                TqResult result = CallbackResult<TqResult>::from(items[0], "GetSupportedChunk");
                aChunkID = CallbackResult<uint32_t>::from(items[1], "");
                aChunkName = CallbackResult<TqString>::from(items[2], "");
                return result;
            },
            aIndex);
    }
    KIVO_CONST_VIRTUAL_INFO(TqResult, GetGevSCPSPacketSizeInfo, false, uint32_t&)
    TqResult GetGevSCPSPacketSizeInfo(uint32_t& aMax) const override {
        using namespace kivo::rt;
        return this->template forward_with<V_GetGevSCPSPacketSizeInfo>([&](PyObject* returned) {
            static const TupleRule rule{nullptr, kShortTuple<"GetGevSCPSPacketSizeInfo", "2">.c_str(), 0};
            const CallbackTuple items(returned, rule);
            TqResult result = CallbackResult<TqResult>::from(items[0], "GetGevSCPSPacketSizeInfo 1");
            aMax = CallbackResult<uint32_t>::from(items[1], "");
            return result;
        });
    }
    KIVO_VIRTUAL_Q(TqResult, SetWidth, kPure, , uint32_t)
    KIVO_VIRTUAL_Q(TqResult, SetHeight, kPure, , uint32_t)
    KIVO_VIRTUAL_Q(TqResult, SetOffsetX, kPure, , uint32_t)
    KIVO_VIRTUAL_Q(TqResult, SetOffsetY, kPure, , uint32_t)
    KIVO_VIRTUAL_Q(TqResult, SetPixelType, kPure, , TqPixelType)
    KIVO_VIRTUAL_Q(TqResult, SetChunkModeActive, kPure, , bool)
    KIVO_VIRTUAL_Q(TqResult, SetChunkEnable, kPure, , uint32_t, bool)
    KIVO_VIRTUAL_Q(void, OnOpen, kPure, , const TqString&, uint16_t)
    KIVO_VIRTUAL_Q(void, OnClose, kPure, )
    KIVO_VIRTUAL_Q(void, OnStreamingStart, kPure, )
    KIVO_VIRTUAL_Q(void, OnStreamingStop, kPure, )
    KIVO_VIRTUAL_INFO(TqBuffer*, AllocBuffer, kPure)
    // The buffer's proxy gives up its ownership; the director records it, with the proxy, until
    // the flat AllocBuffer takes it back (or the director goes: see Swig::GCItem_Proxy).
    TqBuffer* AllocBuffer() override {
        return this->template forward_with<V_AllocBuffer>([&](PyObject* returned) {
            int own = 0;
            TqBuffer* buffer = callback_buffer(returned, true, &own);
            this->acquire_ownership(buffer, own, returned);
            return buffer;
        });
    }
    KIVO_VIRTUAL_Q(void, FreeBuffer, kPure, , TqBuffer*)
    KIVO_VIRTUAL_INFO(TqResult, GetTxNumBuffersToUse, kPure, uint32_t&)
    TqResult GetTxNumBuffersToUse(uint32_t& aNumBuffer) override {
        using namespace kivo::rt;
        return this->template forward_with<V_GetTxNumBuffersToUse>(
            [&](PyObject* returned) {
                static const TupleRule rule{kNoTuple<Class, "GetTxNumBuffersToUse">.c_str(),
                                            kShortTuple<"GetTxNumBuffersToUse", "2">.c_str(), 2};
                const CallbackTuple items(returned, rule);
                TqResult result = CallbackResult<TqResult>::from(items[0], "GetTxNumBuffersToUse");
                aNumBuffer = CallbackResult<uint32_t>::from(items[1], "");
                return result;
            },
            PointerArgument<&descriptor_by_id<TypeId::unsigned_int>>{&aNumBuffer});
    }
    KIVO_VIRTUAL_Q(TqResult, QueueBuffer, true, , TqBuffer*)
    KIVO_VIRTUAL(bool, PreQueueBufferProc)
    KIVO_VIRTUAL(void, PostRetrieveBufferProc)
    KIVO_VIRTUAL_INFO(TqResult, RetrieveBuffer, true, TqBuffer**)
    TqResult RetrieveBuffer(TqBuffer** aBuffer) override {
        using namespace kivo::rt;
        return this->template forward_with<V_RetrieveBuffer>(
            [&](PyObject* returned) {
                static const TupleRule rule{kNoTuple<Class, "RetrieveBuffer">.c_str(),
                                            kShortTuple<"RetrieveBuffer", "2">.c_str(), 1};
                const CallbackTuple items(returned, rule);
                TqResult result = CallbackResult<TqResult>::from(items[0], "RetrieveBuffer");
                TqBuffer* buffer = callback_buffer(items.find(1), false);
                if (aBuffer) *aBuffer = buffer;
                return result;
            },
            PointerArgument<&descriptor_by_id<TypeId::p_TqBuffer>>{aBuffer});
    }
    KIVO_VIRTUAL_Q(void, AbortQueuedBuffers, kPure, )
    KIVO_VIRTUAL(void, CreateRegisters, ITqRegisterMap*, ITqRegisterFactory*)
    KIVO_VIRTUAL(void, CreateGenApiFeatures, ITqRegisterMap*, ITqGenApiFactory*)
    KIVO_VIRTUAL(bool, IsPayloadTypeSupported, TqPayloadType)
    KIVO_VIRTUAL(void, SetMultiPartAllowed, bool)
    KIVO_VIRTUAL(void, SetLargeLeaderTrailerEnabled, bool, uint32_t)
    KIVO_VIRTUAL(TqResult, SetTestPayloadFormatMode, TqPayloadType)

private:
    // GetWidthInfo and GetHeightInfo: three items, no tuple test, each an unsigned 32-bit value.
    template <class V>
    void Limits(uint32_t& aMin, uint32_t& aMax, uint32_t& aInc) const {
        using namespace kivo::rt;
        this->template forward_with<V>([&](PyObject* returned) {
            static const TupleRule rule{nullptr, kShortTuple<V::text, "3">.c_str(), 0};
            const CallbackTuple items(returned, rule);
            aMin = CallbackResult<uint32_t>::from(items[0], "");
            aMax = CallbackResult<uint32_t>::from(items[1], "");
            aInc = CallbackResult<uint32_t>::from(items[2], "");
        });
    }
};

// AllocBuffer's flat function: the buffer as a proxy that owns it when the director recorded it as
// handed over owned (the record is taken out), else a borrowed one; None for null.
template <class Sdk>
struct BufferHandedBack {
    static PyObject* make(void* storage, kivo::rt::CallFrame& f) {
        void* buffer = kivo::rt::result_as<void*>(storage);
        int own = 0;
        if (auto* director = dynamic_cast<Swig::Director*>(f.arg<kivo::rt::DirectorSelf<Sdk>>(1).object))
            own = director->release_ownership(buffer);
        return SwigPyObject_NewPointerObject(buffer, kivo::rt::descriptor_of<TqBuffer>(), own == 1 ? SwigNew_Own : 0);
    }
    static constexpr kivo::rt::ResultKind kind{make, nullptr, nullptr, &kivo::rt::decl_text<TqBuffer*>, nullptr};
};

// GetTxNumBuffersToUse's flat function takes an item it never reads (the pointer object a Python
// override gets, or anything) and returns the count beside the result.
template <class D>
struct BufferCountCall {
    using Sdk = typename D::SdkClass;
    static TqResult call(kivo::rt::DirectorSelf<Sdk> self, kivo::rt::PythonObject, uint32_t& aNumBuffer) {
        return kivo::rt::VirtualCall<D, typename D::V_GetTxNumBuffersToUse>::call(self, aNumBuffer);
    }
};

inline TqString& filled_text(kivo::rt::Slot& s) { return *s.as<TextSlot>().text; }

// The 40 operation functions of director D's class, in slot order, each with a docstring
// (source_docs.h).
template <class D>
Entries source_operations() {
    using namespace kivo::rt;
    using S = typename D::SdkClass;
    using Self = DirectorSelf<S>;
    using ConstSelf = DirectorSelf<const S>;
    using Three = Params<ConstSelf, Present<uint32_t&>, Present<uint32_t&>, Present<uint32_t&>>;
    // The pixel type a source lists comes back unsigned; the chunk name as its 8-bit text.
    using PixelOut = OutputKind<"TqPixelType &", &kOutUInt32Kind, &stored_as<TqPixelType, uint32_t>, Param_Present>;
    using NameOut = OutputKind<"TqString &", &kOutNarrowTextKind, &filled_text, Param_Present>;
    using BufferSlot = ByPointer<TqBuffer*, TypeId::p_TqBuffer, "TqBuffer **">;
    Entries rows = {
        director_virtual<D, typename D::V_GetWidth>(),
        director_virtual<D, typename D::V_GetHeight>(),
        director_virtual<D, typename D::V_GetOffsetX>(),
        director_virtual<D, typename D::V_GetOffsetY>(),
        director_virtual<D, typename D::V_GetPixelType>(),
        director_virtual<D, typename D::V_GetWidthInfo, Three, TupleOutputs<>>("aMin", "aMax", "aInc"),
        director_virtual<D, typename D::V_GetHeightInfo, Three, TupleOutputs<>>("aMin", "aMax", "aInc"),
        director_virtual<D, typename D::V_GetChunksSize>(),
        director_virtual<D, typename D::V_GetPayloadSize>(),
        director_virtual<D, typename D::V_GetScanType>(),
        director_virtual<D, typename D::V_GetChunkModeActive>(),
        director_virtual<D, typename D::V_GetChunkEnable>("aChunkID"),
        director_virtual<D, typename D::V_GetSupportedPixelType, Params<ConstSelf, InvalidIndex, PixelOut>,
                         TupleOutputs<>>("aIndex", "aPixelType"),
        director_virtual<D, typename D::V_GetSupportedChunk,
                         Params<ConstSelf, IntArgument, Present<uint32_t&>, NameOut>, TupleOutputs<>>(
            "aIndex", "aChunkID", "aChunkName"),
        director_virtual<D, typename D::V_GetGevSCPSPacketSizeInfo, Params<ConstSelf, Present<uint32_t&>>,
                         TupleOutputs<>>("aMax"),
        director_virtual<D, typename D::V_SetWidth>("aWidth"),
        director_virtual<D, typename D::V_SetHeight>("aHeight"),
        director_virtual<D, typename D::V_SetOffsetX>("aOffsetX"),
        director_virtual<D, typename D::V_SetOffsetY>("aOffsetY"),
        director_virtual<D, typename D::V_SetPixelType>("aPixelType"),
        director_virtual<D, typename D::V_SetChunkModeActive>("aEnabled"),
        director_virtual<D, typename D::V_SetChunkEnable>("aChunkID", "aEnabled"),
        director_virtual<D, typename D::V_OnOpen>("aDestIP", "aDestPort"),
        director_virtual<D, typename D::V_OnClose>(),
        director_virtual<D, typename D::V_OnStreamingStart>(),
        director_virtual<D, typename D::V_OnStreamingStop>(),
        director_virtual<D, typename D::V_AllocBuffer, void, ResultAs<&BufferHandedBack<S>::kind>>(),
        director_virtual<D, typename D::V_FreeBuffer>("aBuffer"),
        function<joined<D::class_text, "_GetTxNumBuffersToUse">, &BufferCountCall<D>::call, KeepGil<TupleOutputs<>>,
                 Params<Self, PythonObject, Present<uint32_t&>>>("aNumBuffer", "aCount"),
        director_virtual<D, typename D::V_QueueBuffer>("aBuffer"),
        director_virtual<D, typename D::V_PreQueueBufferProc>(),
        director_virtual<D, typename D::V_PostRetrieveBufferProc>(),
        director_virtual<D, typename D::V_RetrieveBuffer, Params<Self, BufferSlot>>("aBuffer"),
        director_virtual<D, typename D::V_AbortQueuedBuffers>(),
        director_virtual<D, typename D::V_CreateRegisters>("aRegisterMap", "aFactory"),
        director_virtual<D, typename D::V_CreateGenApiFeatures>("aRegisterMap", "aFactory"),
        director_virtual<D, typename D::V_IsPayloadTypeSupported>("aPayloadType"),
        director_virtual<D, typename D::V_SetMultiPartAllowed>("aAllowed"),
        director_virtual<D, typename D::V_SetLargeLeaderTrailerEnabled>("aEnabled", "aMaxMultiPartCount"),
        director_virtual<D, typename D::V_SetTestPayloadFormatMode>("aPayloadType"),
    };
    for (Entry& row : rows) row = documented(std::move(row));
    return rows;
}

}  // namespace kivo::module
