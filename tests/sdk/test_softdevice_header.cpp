// The software device's declarations: which classes are interfaces and which can be made, that a
// subclass of each callback class overriding what it must compiles, and that every virtual operation
// stands in its table at the slot the module calls it by, with its exact signature. Nothing here
// needs the software device library: only the layout is looked at.
#include "TqSoftDeviceGEV.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace {

// --- Which classes are interfaces, which are made, and how they derive ---

template <class... C>
constexpr bool kPolymorphicWithVirtualDestructor = ((std::is_polymorphic_v<C> && std::has_virtual_destructor_v<C>) && ...);

static_assert(kPolymorphicWithVirtualDestructor<ITqSoftDeviceGEV, TqSoftDeviceGEV, ITqSoftDeviceGEVEventSink, ITqUserSetNotify,
                                                ITqSoftDeviceGEVInfo, ITqSoftDeviceGEVStatistics, ITqMessageChannel,
                                                ITqStreamingChannelSource, TqStreamingChannelSourceDefault, ITqRegisterInfo,
                                                ITqRegister, ITqRegisterMap, ITqRegisterEventSink, ITqRegisterStore,
                                                ITqRegisterFactory, ITqGenApiFactory>);

template <class... C>
constexpr bool kAbstract = (std::is_abstract_v<C> && ...);

static_assert(kAbstract<ITqSoftDeviceGEV, ITqUserSetNotify, ITqSoftDeviceGEVInfo, ITqSoftDeviceGEVStatistics, ITqMessageChannel,
                        ITqStreamingChannelSource, ITqRegisterInfo, ITqRegister, ITqRegisterMap, ITqRegisterStore,
                        ITqRegisterFactory, ITqGenApiFactory>);
// The default source implements everything but queueing and retrieving buffers, which stay the
// application's: it is only ever a base.
static_assert(std::is_abstract_v<TqStreamingChannelSourceDefault>);

// The classes the SDK makes on its own.
static_assert(!std::is_abstract_v<TqSoftDeviceGEV> && std::is_default_constructible_v<TqSoftDeviceGEV>);
static_assert(!std::is_copy_constructible_v<TqSoftDeviceGEV>);
static_assert(!std::is_abstract_v<ITqSoftDeviceGEVEventSink> && std::is_default_constructible_v<ITqSoftDeviceGEVEventSink>);
static_assert(!std::is_abstract_v<ITqRegisterEventSink> && std::is_default_constructible_v<ITqRegisterEventSink>);

static_assert(std::is_base_of_v<ITqSoftDeviceGEV, TqSoftDeviceGEV>);
static_assert(std::is_convertible_v<TqSoftDeviceGEV*, ITqSoftDeviceGEV*>);   // public
static_assert(std::is_convertible_v<TqStreamingChannelSourceDefault*, ITqStreamingChannelSource*>);
static_assert(std::is_convertible_v<ITqRegister*, ITqRegisterInfo*>);

// The one operation of the device that is not virtual.
static_assert(std::is_same_v<decltype(&TqSoftDeviceGEV::SetStreamTimestamping), TqResult (TqSoftDeviceGEV::*)(bool)>);

// --- Subclasses of the callback classes ---

struct Source final : ITqStreamingChannelSource {
    uint32_t GetWidth() const override { return 0; }
    uint32_t GetHeight() const override { return 0; }
    uint32_t GetOffsetX() const override { return 0; }
    uint32_t GetOffsetY() const override { return 0; }
    TqPixelType GetPixelType() const override { return TqPixelMono8; }
    void GetWidthInfo(uint32_t&, uint32_t&, uint32_t&) const override {}
    void GetHeightInfo(uint32_t&, uint32_t&, uint32_t&) const override {}
    uint32_t GetChunksSize() const override { return 0; }
    uint32_t GetPayloadSize() const override { return 0; }
    TqScanType GetScanType() const override { return TqScanTypeArea; }
    bool GetChunkModeActive() const override { return false; }
    bool GetChunkEnable(uint32_t) const override { return false; }
    TqResult GetSupportedPixelType(int, TqPixelType&) const override { return TqResult(); }
    TqResult GetSupportedChunk(int, uint32_t&, TqString&) const override { return TqResult(); }
    TqResult SetWidth(uint32_t) override { return TqResult(); }
    TqResult SetHeight(uint32_t) override { return TqResult(); }
    TqResult SetOffsetX(uint32_t) override { return TqResult(); }
    TqResult SetOffsetY(uint32_t) override { return TqResult(); }
    TqResult SetPixelType(TqPixelType) override { return TqResult(); }
    TqResult SetChunkModeActive(bool) override { return TqResult(); }
    TqResult SetChunkEnable(uint32_t, bool) override { return TqResult(); }
    void OnOpen(const TqString&, uint16_t) override {}
    void OnClose() override {}
    void OnStreamingStart() override {}
    void OnStreamingStop() override {}
    TqBuffer* AllocBuffer() override { return nullptr; }
    void FreeBuffer(TqBuffer*) override {}
    TqResult GetTxNumBuffersToUse(uint32_t&) override { return TqResult(); }
    TqResult QueueBuffer(TqBuffer*) override { return TqResult(); }
    TqResult RetrieveBuffer(TqBuffer**) override { return TqResult(); }
    void AbortQueuedBuffers() override {}
};
static_assert(!std::is_abstract_v<Source> && std::is_default_constructible_v<Source>);

struct DefaultSource final : TqStreamingChannelSourceDefault {
    using TqStreamingChannelSourceDefault::TqStreamingChannelSourceDefault;
    TqResult QueueBuffer(TqBuffer*) override { return TqResult(); }
    TqResult RetrieveBuffer(TqBuffer**) override { return TqResult(); }
};
static_assert(!std::is_abstract_v<DefaultSource>);
// Every value of the constructor has a default.
static_assert(std::is_default_constructible_v<DefaultSource> && std::is_constructible_v<DefaultSource, uint32_t> &&
              std::is_constructible_v<DefaultSource, uint32_t, uint32_t> &&
              std::is_constructible_v<DefaultSource, uint32_t, uint32_t, TqPixelType> &&
              std::is_constructible_v<DefaultSource, uint32_t, uint32_t, TqPixelType, size_t>);

struct DeviceSink final : ITqSoftDeviceGEVEventSink {
    void OnApplicationConnect(ITqSoftDeviceGEV*, const TqString&, uint16_t, TqAccessType) override {}
    void OnControlChannelStart(ITqSoftDeviceGEV*, const TqString&, const TqString&, const TqString&, const TqString&,
                               uint16_t) override {}
    void OnApplicationDisconnect(ITqSoftDeviceGEV*) override {}
    void OnControlChannelStop(ITqSoftDeviceGEV*) override {}
    void OnDeviceResetFull(ITqSoftDeviceGEV*) override {}
    void OnDeviceResetNetwork(ITqSoftDeviceGEV*) override {}
    void OnCreateCustomRegisters(ITqSoftDeviceGEV*, ITqRegisterFactory*) override {}
    void OnCreateCustomGenApiFeatures(ITqSoftDeviceGEV*, ITqGenApiFactory*) override {}
};
static_assert(!std::is_abstract_v<DeviceSink>);

struct UserSetNotify final : ITqUserSetNotify {
    TqResult UserSetStateNotify(TqUserSetState, uint32_t) override { return TqResult(); }
};
static_assert(!std::is_abstract_v<UserSetNotify>);

struct RegisterSink final : ITqRegisterEventSink {
    TqResult PreRead(ITqRegister*) override { return TqResult(); }
    void PostRead(ITqRegister*) override {}
    TqResult PreWrite(ITqRegister*) override { return TqResult(); }
    void PostWrite(ITqRegister*) override {}
    TqResult Persist(ITqRegister*, ITqRegisterStore*) override { return TqResult(); }
};
static_assert(!std::is_abstract_v<RegisterSink>);

// --- Slots ---

// The slot of a virtual operation of C with the signature Sig, numbered as the SDK numbers them
// (0 the destructor, 1 the first operation); -1 for a member that is not virtual. Under the Itanium
// C++ ABI a pointer to a virtual member holds its entry's byte offset in the table plus one (on ARM
// the offset, with the flag in the adjustment), and a virtual destructor takes two entries. Taking
// the pointer needs no definition of the operation.
template <class C, class Sig>
long SlotOf(Sig C::*aMember) {
    struct Representation {
        std::ptrdiff_t ptr;
        std::ptrdiff_t adj;
    };
    static_assert(sizeof(aMember) == sizeof(Representation));
    Representation rep;
    std::memcpy(&rep, &aMember, sizeof rep);
#if defined(__arm__) || defined(__aarch64__)
    if ((rep.adj & 1) == 0) return -1;
    const std::ptrdiff_t offset = rep.ptr;
#else
    if ((rep.ptr & 1) == 0) return -1;
    const std::ptrdiff_t offset = rep.ptr - 1;
#endif
    return static_cast<long>(offset / static_cast<std::ptrdiff_t>(sizeof(void*))) - 1;
}

#define KIVO_EXPECT_SLOT(C, Name, Sig, Slot) EXPECT_EQ((SlotOf<C, Sig>(&C::Name)), Slot) << #C "::" #Name;

#define KIVO_DEVICE_SLOTS(X, C)                                                     \
    X(C, AddStream, TqResult(ITqStreamingChannelSource*), 1)                        \
    X(C, SetUserSetCount, TqResult(uint32_t), 2)                                    \
    X(C, SetUserSetNotify, TqResult(ITqUserSetNotify*), 3)                          \
    X(C, SetTCPTransportEnabled, TqResult(bool), 4)                                 \
    X(C, SetRTPProtocolEnabled, TqResult(bool), 5)                                  \
    X(C, SetActionHandler, TqResult(TqVirtualDeviceLib::IActionHandler*), 6)        \
    X(C, RegisterEventSink, TqResult(ITqSoftDeviceGEVEventSink*), 7)                \
    X(C, UnregisterEventSink, TqResult(ITqSoftDeviceGEVEventSink*), 8)              \
    X(C, Start, TqResult(const TqString&), 9)                                       \
    X(C, Stop, TqResult(), 10)                                                      \
    X(C, GetInfo, ITqSoftDeviceGEVInfo*(), 11)                                      \
    X(C, GetRegisterMap, ITqRegisterMap*(), 12)                                     \
    X(C, GetStatistics, ITqSoftDeviceGEVStatistics*(), 13)                          \
    X(C, GetMessagingChannel, ITqMessageChannel*(), 14)                             \
    X(C, GetGenICamXMLFile, TqResult(TqString&) const, 15)

TEST(SoftDeviceHeader, DeviceSlots) {
    KIVO_DEVICE_SLOTS(KIVO_EXPECT_SLOT, ITqSoftDeviceGEV)
    KIVO_DEVICE_SLOTS(KIVO_EXPECT_SLOT, TqSoftDeviceGEV)
}

#define KIVO_SOURCE_SLOTS(X, C)                                                         \
    X(C, GetWidth, uint32_t() const, 1)                                                 \
    X(C, GetHeight, uint32_t() const, 2)                                                \
    X(C, GetOffsetX, uint32_t() const, 3)                                               \
    X(C, GetOffsetY, uint32_t() const, 4)                                               \
    X(C, GetPixelType, TqPixelType() const, 5)                                          \
    X(C, GetWidthInfo, void(uint32_t&, uint32_t&, uint32_t&) const, 6)                  \
    X(C, GetHeightInfo, void(uint32_t&, uint32_t&, uint32_t&) const, 7)                 \
    X(C, GetChunksSize, uint32_t() const, 8)                                            \
    X(C, GetPayloadSize, uint32_t() const, 9)                                           \
    X(C, GetScanType, TqScanType() const, 10)                                           \
    X(C, GetChunkModeActive, bool() const, 11)                                          \
    X(C, GetChunkEnable, bool(uint32_t) const, 12)                                      \
    X(C, GetSupportedPixelType, TqResult(int, TqPixelType&) const, 13)                  \
    X(C, GetSupportedChunk, TqResult(int, uint32_t&, TqString&) const, 14)              \
    X(C, GetGevSCPSPacketSizeInfo, TqResult(uint32_t&) const, 15)                       \
    X(C, SetWidth, TqResult(uint32_t), 16)                                              \
    X(C, SetHeight, TqResult(uint32_t), 17)                                             \
    X(C, SetOffsetX, TqResult(uint32_t), 18)                                            \
    X(C, SetOffsetY, TqResult(uint32_t), 19)                                            \
    X(C, SetPixelType, TqResult(TqPixelType), 20)                                       \
    X(C, SetChunkModeActive, TqResult(bool), 21)                                        \
    X(C, SetChunkEnable, TqResult(uint32_t, bool), 22)                                  \
    X(C, OnOpen, void(const TqString&, uint16_t), 23)                                   \
    X(C, OnClose, void(), 24)                                                           \
    X(C, OnStreamingStart, void(), 25)                                                  \
    X(C, OnStreamingStop, void(), 26)                                                   \
    X(C, AllocBuffer, TqBuffer*(), 27)                                                  \
    X(C, FreeBuffer, void(TqBuffer*), 28)                                               \
    X(C, GetTxNumBuffersToUse, TqResult(uint32_t&), 29)                                 \
    X(C, QueueBuffer, TqResult(TqBuffer*), 30)                                          \
    X(C, PreQueueBufferProc, bool(), 31)                                                \
    X(C, PostRetrieveBufferProc, void(), 32)                                            \
    X(C, RetrieveBuffer, TqResult(TqBuffer**), 33)                                      \
    X(C, AbortQueuedBuffers, void(), 34)                                                \
    X(C, CreateRegisters, void(ITqRegisterMap*, ITqRegisterFactory*), 35)               \
    X(C, CreateGenApiFeatures, void(ITqRegisterMap*, ITqGenApiFactory*), 36)            \
    X(C, IsPayloadTypeSupported, bool(TqPayloadType), 37)                               \
    X(C, SetMultiPartAllowed, void(bool), 38)                                           \
    X(C, SetLargeLeaderTrailerEnabled, void(bool, uint32_t), 39)                        \
    X(C, SetTestPayloadFormatMode, TqResult(TqPayloadType), 40)

TEST(SoftDeviceHeader, StreamingChannelSourceSlots) {
    KIVO_SOURCE_SLOTS(KIVO_EXPECT_SLOT, ITqStreamingChannelSource)
    KIVO_SOURCE_SLOTS(KIVO_EXPECT_SLOT, TqStreamingChannelSourceDefault)
    KIVO_SOURCE_SLOTS(KIVO_EXPECT_SLOT, Source)
}

TEST(SoftDeviceHeader, DeviceCallbackSlots) {
    KIVO_EXPECT_SLOT(ITqSoftDeviceGEVEventSink, OnApplicationConnect,
                     void(ITqSoftDeviceGEV*, const TqString&, uint16_t, TqAccessType), 1)
    KIVO_EXPECT_SLOT(ITqSoftDeviceGEVEventSink, OnControlChannelStart,
                     void(ITqSoftDeviceGEV*, const TqString&, const TqString&, const TqString&, const TqString&, uint16_t), 2)
    KIVO_EXPECT_SLOT(ITqSoftDeviceGEVEventSink, OnApplicationDisconnect, void(ITqSoftDeviceGEV*), 3)
    KIVO_EXPECT_SLOT(ITqSoftDeviceGEVEventSink, OnControlChannelStop, void(ITqSoftDeviceGEV*), 4)
    KIVO_EXPECT_SLOT(ITqSoftDeviceGEVEventSink, OnDeviceResetFull, void(ITqSoftDeviceGEV*), 5)
    KIVO_EXPECT_SLOT(ITqSoftDeviceGEVEventSink, OnDeviceResetNetwork, void(ITqSoftDeviceGEV*), 6)
    KIVO_EXPECT_SLOT(ITqSoftDeviceGEVEventSink, OnCreateCustomRegisters, void(ITqSoftDeviceGEV*, ITqRegisterFactory*), 7)
    KIVO_EXPECT_SLOT(ITqSoftDeviceGEVEventSink, OnCreateCustomGenApiFeatures, void(ITqSoftDeviceGEV*, ITqGenApiFactory*), 8)

    KIVO_EXPECT_SLOT(ITqUserSetNotify, UserSetStateNotify, TqResult(TqUserSetState, uint32_t), 1)
}

TEST(SoftDeviceHeader, DeviceInterfaceSlots) {
    using Info = ITqSoftDeviceGEVInfo;
    KIVO_EXPECT_SLOT(Info, GetManufacturerName, const TqString&(), 1)
    KIVO_EXPECT_SLOT(Info, GetModelName, const TqString&(), 2)
    KIVO_EXPECT_SLOT(Info, GetDeviceVersion, const TqString&(), 3)
    KIVO_EXPECT_SLOT(Info, GetDeviceFirmwareVersion, const TqString&(), 4)
    KIVO_EXPECT_SLOT(Info, GetManufacturerInformation, const TqString&(), 5)
    KIVO_EXPECT_SLOT(Info, GetSerialNumber, const TqString&(), 6)
    KIVO_EXPECT_SLOT(Info, SetManufacturerName, TqResult(const TqString&), 7)
    KIVO_EXPECT_SLOT(Info, SetModelName, TqResult(const TqString&), 8)
    KIVO_EXPECT_SLOT(Info, SetDeviceVersion, TqResult(const TqString&), 9)
    KIVO_EXPECT_SLOT(Info, SetDeviceFirmwareVersion, TqResult(const TqString&), 10)
    KIVO_EXPECT_SLOT(Info, SetManufacturerInformation, TqResult(const TqString&), 11)
    KIVO_EXPECT_SLOT(Info, SetSerialNumber, TqResult(const TqString&), 12)
    KIVO_EXPECT_SLOT(Info, GetGenICamXMLVersionMajor, uint16_t() const, 13)
    KIVO_EXPECT_SLOT(Info, GetGenICamXMLVersionMinor, uint16_t() const, 14)
    KIVO_EXPECT_SLOT(Info, GetGenICamXMLVersionSubMinor, uint16_t() const, 15)
    KIVO_EXPECT_SLOT(Info, GetGenICamXMLProductGUID, const TqString&(), 16)
    KIVO_EXPECT_SLOT(Info, GetGenICamXMLVersionGUID, const TqString&(), 17)
    KIVO_EXPECT_SLOT(Info, GetGenICamXMLRegDescModelName, const TqString&(), 18)
    KIVO_EXPECT_SLOT(Info, GetGenICamXMLRegDescVendorName, const TqString&(), 19)
    KIVO_EXPECT_SLOT(Info, SetGenICamXMLVersion, TqResult(uint16_t, uint16_t, uint16_t), 20)
    KIVO_EXPECT_SLOT(Info, SetGenICamXMLGUIDs, TqResult(const TqString&, const TqString&), 21)
    KIVO_EXPECT_SLOT(Info, SetGenICamXMLRegDescModelName, TqResult(const TqString&), 22)
    KIVO_EXPECT_SLOT(Info, SetGenICamXMLRegDescVendorName, TqResult(const TqString&), 23)

    using Statistics = ITqSoftDeviceGEVStatistics;
    KIVO_EXPECT_SLOT(Statistics, Reset, void(), 1)
    KIVO_EXPECT_SLOT(Statistics, GetReadMemsReceived, uint64_t() const, 2)
    KIVO_EXPECT_SLOT(Statistics, GetWriteMemsReceived, uint64_t() const, 3)
    KIVO_EXPECT_SLOT(Statistics, GetReadRegsReceived, uint64_t() const, 4)
    KIVO_EXPECT_SLOT(Statistics, GetWriteRegsReceived, uint64_t() const, 5)
    KIVO_EXPECT_SLOT(Statistics, GetDiscoveriesReceived, uint64_t() const, 6)
    KIVO_EXPECT_SLOT(Statistics, GetActionCommandsReceived, uint64_t() const, 7)
    KIVO_EXPECT_SLOT(Statistics, GetForceIpsReceived, uint64_t() const, 8)
    KIVO_EXPECT_SLOT(Statistics, GetPacketResendRequestsReceived, uint64_t() const, 9)
    KIVO_EXPECT_SLOT(Statistics, GetPendingAcksIssued, uint64_t() const, 10)
    KIVO_EXPECT_SLOT(Statistics, GetRetriesReceived, uint64_t() const, 11)
    KIVO_EXPECT_SLOT(Statistics, GetRetriesReceivedMax, uint64_t() const, 12)
    KIVO_EXPECT_SLOT(Statistics, GetEventsIssued, uint64_t() const, 13)
    KIVO_EXPECT_SLOT(Statistics, GetEventDatasIssued, uint64_t() const, 14)
    KIVO_EXPECT_SLOT(Statistics, GetEventRetriesIssued, uint64_t() const, 15)
    KIVO_EXPECT_SLOT(Statistics, GetEventRetriesIssuedMax, uint64_t() const, 16)
    KIVO_EXPECT_SLOT(Statistics, GetSessionsOpened, uint64_t() const, 17)
    KIVO_EXPECT_SLOT(Statistics, GetSessionsClosed, uint64_t() const, 18)
    KIVO_EXPECT_SLOT(Statistics, GetHeartbeatFailedCount, uint64_t() const, 19)
    KIVO_EXPECT_SLOT(Statistics, GetGVSPTestPacketsIssued, uint64_t() const, 20)

    KIVO_EXPECT_SLOT(ITqMessageChannel, FireEvent, TqResult(uint16_t, uint8_t*, uint32_t, uint64_t, uint16_t), 1)
    KIVO_EXPECT_SLOT(ITqMessageChannel, FireEvent, TqResult(uint16_t, uint64_t, uint16_t), 2)
    KIVO_EXPECT_SLOT(ITqMessageChannel, IsOpened, bool(), 3)
}

TEST(SoftDeviceHeader, RegisterSlots) {
    KIVO_EXPECT_SLOT(ITqRegisterInfo, GetName, const TqString&(), 1)
    KIVO_EXPECT_SLOT(ITqRegisterInfo, GetAddress, uint32_t() const, 2)
    KIVO_EXPECT_SLOT(ITqRegisterInfo, GetLength, size_t() const, 3)
    KIVO_EXPECT_SLOT(ITqRegisterInfo, GetContext, void*(), 4)
    KIVO_EXPECT_SLOT(ITqRegisterInfo, GetContext, const void*() const, 5)
    KIVO_EXPECT_SLOT(ITqRegisterInfo, IsWritable, bool() const, 6)
    KIVO_EXPECT_SLOT(ITqRegisterInfo, IsReadable, bool() const, 7)
    KIVO_EXPECT_SLOT(ITqRegisterInfo, IsArrayOfBytes, bool() const, 8)
    // ITqRegister continues its base's table.
    KIVO_EXPECT_SLOT(ITqRegister, ReadString, TqResult(TqString&), 9)
    KIVO_EXPECT_SLOT(ITqRegister, ReadInt, TqResult(uint32_t&, uint32_t), 10)
    KIVO_EXPECT_SLOT(ITqRegister, ReadBytes, TqResult(uint8_t*, uint32_t, uint32_t), 11)
    KIVO_EXPECT_SLOT(ITqRegister, Write, TqResult(const TqString&), 12)
    KIVO_EXPECT_SLOT(ITqRegister, Write, TqResult(uint32_t, uint32_t), 13)
    KIVO_EXPECT_SLOT(ITqRegister, Write, TqResult(const uint8_t*, uint32_t, uint32_t), 14)
    KIVO_EXPECT_SLOT(ITqRegister, ReadFloat, TqResult(float&), 15)
    KIVO_EXPECT_SLOT(ITqRegister, WriteFloat, TqResult(float), 16)
    KIVO_EXPECT_SLOT(ITqRegister, ReadDouble, TqResult(double&), 17)
    KIVO_EXPECT_SLOT(ITqRegister, WriteDouble, TqResult(double), 18)
    KIVO_EXPECT_SLOT(ITqRegister, AddEventSink, TqResult(ITqRegisterEventSink*), 19)
    KIVO_EXPECT_SLOT(ITqRegister, RemoveEventSink, TqResult(ITqRegisterEventSink*), 20)

    KIVO_EXPECT_SLOT(ITqRegisterMap, GetRegisterCount, size_t(), 1)
    KIVO_EXPECT_SLOT(ITqRegisterMap, GetRegisterByIndex, ITqRegister*(size_t), 2)
    KIVO_EXPECT_SLOT(ITqRegisterMap, GetRegisterByAddress, ITqRegister*(uint32_t), 3)
    KIVO_EXPECT_SLOT(ITqRegisterMap, Lock, TqResult(uint32_t), 4)
    KIVO_EXPECT_SLOT(ITqRegisterMap, Lock, TqResult(), 5)
    KIVO_EXPECT_SLOT(ITqRegisterMap, Release, void(), 6)

    KIVO_EXPECT_SLOT(ITqRegisterEventSink, PreRead, TqResult(ITqRegister*), 1)
    KIVO_EXPECT_SLOT(ITqRegisterEventSink, PostRead, void(ITqRegister*), 2)
    KIVO_EXPECT_SLOT(ITqRegisterEventSink, PreWrite, TqResult(ITqRegister*), 3)
    KIVO_EXPECT_SLOT(ITqRegisterEventSink, PostWrite, void(ITqRegister*), 4)
    KIVO_EXPECT_SLOT(ITqRegisterEventSink, Persist, TqResult(ITqRegister*, ITqRegisterStore*), 5)

    KIVO_EXPECT_SLOT(ITqRegisterStore, Persist, TqResult(ITqRegister*, const TqString&), 1)

    using AddSig = TqResult(const TqString&, uint32_t, uint32_t, TqGenAccessMode, ITqRegisterEventSink*, void*);
    KIVO_EXPECT_SLOT(ITqRegisterFactory, AddRegister, AddSig, 1)
    KIVO_EXPECT_SLOT(ITqRegisterFactory, AddByteArray, AddSig, 2)
}

TEST(SoftDeviceHeader, GenApiFactorySlots) {
    using F = ITqGenApiFactory;
    using Text = void(const TqString&);
    using Link = TqResult(const TqString&, const TqString&);
    using Formulas = TqResult(const TqString&, const TqString&, const TqString&);
    KIVO_EXPECT_SLOT(F, SetName, Text, 1)
    KIVO_EXPECT_SLOT(F, SetDisplayName, Text, 2)
    KIVO_EXPECT_SLOT(F, SetCategory, void(const TqString&, const TqString&), 3)
    KIVO_EXPECT_SLOT(F, SetCategory, Text, 4)
    KIVO_EXPECT_SLOT(F, SetDescription, Text, 5)
    KIVO_EXPECT_SLOT(F, SetToolTip, Text, 6)
    KIVO_EXPECT_SLOT(F, SetAccessMode, void(TqGenAccessMode), 7)
    KIVO_EXPECT_SLOT(F, SetRepresentation, void(TqGenRepresentation), 8)
    KIVO_EXPECT_SLOT(F, SetVisibility, void(TqGenVisibility), 9)
    KIVO_EXPECT_SLOT(F, SetCachable, void(TqGenCache), 10)
    KIVO_EXPECT_SLOT(F, SetPollingTime, void(uint32_t), 11)
    KIVO_EXPECT_SLOT(F, SetNameSpace, void(TqGenNameSpace), 12)
    KIVO_EXPECT_SLOT(F, SetTLLocked, void(bool), 13)
    KIVO_EXPECT_SLOT(F, SetStreamable, void(bool), 14)
    KIVO_EXPECT_SLOT(F, SetUnit, Text, 15)
    KIVO_EXPECT_SLOT(F, SetPValue, Text, 16)
    KIVO_EXPECT_SLOT(F, SetPIsAvailable, Text, 17)
    KIVO_EXPECT_SLOT(F, SetPIsLocked, Text, 18)
    KIVO_EXPECT_SLOT(F, MapChunk, void(uint32_t, uint32_t, size_t, TqGenEndianness), 19)
    KIVO_EXPECT_SLOT(F, MapEvent, void(uint32_t, uint32_t, size_t, TqGenEndianness, bool), 20)
    KIVO_EXPECT_SLOT(F, AddSelected, Text, 21)
    KIVO_EXPECT_SLOT(F, AddInvalidator, Text, 22)
    KIVO_EXPECT_SLOT(F, AddEnumEntry, void(const TqString&, uint32_t, const TqString&, TqGenNameSpace), 23)
    KIVO_EXPECT_SLOT(F, AddEnumEntry, void(const TqString&, uint32_t), 24)
    KIVO_EXPECT_SLOT(F, AddVariable, Text, 25)
    KIVO_EXPECT_SLOT(F, CreateInteger, TqResult(ITqRegister*), 26)
    KIVO_EXPECT_SLOT(F, CreateInteger, TqResult(ITqRegister*, int64_t, int64_t, int64_t), 27)
    KIVO_EXPECT_SLOT(F, CreateFloat, TqResult(ITqRegister*), 28)
    KIVO_EXPECT_SLOT(F, CreateFloat, TqResult(ITqRegister*, double, double), 29)
    KIVO_EXPECT_SLOT(F, CreateString, TqResult(ITqRegister*), 30)
    KIVO_EXPECT_SLOT(F, CreateRegister, TqResult(ITqRegister*), 31)
    KIVO_EXPECT_SLOT(F, CreateBoolean, TqResult(ITqRegister*), 32)
    KIVO_EXPECT_SLOT(F, CreateCommand, TqResult(ITqRegister*), 33)
    KIVO_EXPECT_SLOT(F, CreateEnum, TqResult(ITqRegister*), 34)
    KIVO_EXPECT_SLOT(F, CreateIntSwissKnife, TqResult(const TqString&), 35)
    KIVO_EXPECT_SLOT(F, CreateFloatSwissKnife, TqResult(const TqString&), 36)
    KIVO_EXPECT_SLOT(F, CreateIntConverter, Formulas, 37)
    KIVO_EXPECT_SLOT(F, CreateFloatConverter, Formulas, 38)
    KIVO_EXPECT_SLOT(F, AddInvalidatorTo, Link, 39)
    KIVO_EXPECT_SLOT(F, SetPIsAvailableFor, Link, 40)
    KIVO_EXPECT_SLOT(F, SetPIsAvailableForEnumEntry, Formulas, 41)
    KIVO_EXPECT_SLOT(F, SetPIsLockedFor, Link, 42)
    KIVO_EXPECT_SLOT(F, SetPValueFor, Link, 43)
    KIVO_EXPECT_SLOT(F, SetPMinFor, Link, 44)
    KIVO_EXPECT_SLOT(F, SetPMaxFor, Link, 45)
    KIVO_EXPECT_SLOT(F, SetPIncFor, Link, 46)
    KIVO_EXPECT_SLOT(F, SetPMin, Text, 47)
    KIVO_EXPECT_SLOT(F, SetPMax, Text, 48)
    KIVO_EXPECT_SLOT(F, SetPInc, Text, 49)
}

}  // namespace
