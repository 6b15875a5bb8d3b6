"""Which functions of the module carry a docstring, class by class; the docstrings that are fixed
texts (constructors, destructors, a few sentences) and those whose first words are fixed; the stream
sources' operations, whose docstrings tell each operation's contract under both classes alike."""

import types

import pytest

ALL = "all"   # a class none of whose functions carries a docstring

# For each class, the functions that carry no docstring, named without the class ("new", "delete",
# "disown", "swigregister", "swiginit", or the method). Every other function of the class carries one.
WITHOUT = {
    "IPConfig": ALL,
    "ITqChunkData": {"swigregister"},
    "ITqGenApiFactory": {"CreateRegister", "SetPIsLocked", "SetPIsLockedFor", "swigregister"},
    "ITqImage": {"swigregister"},
    "ITqImageJPEG": {"swigregister"},
    "ITqMessageChannel": {"delete", "swigregister"},
    "ITqMultiPartContainer": {"swigregister"},
    "ITqMultiPartContainerReader": {"swigregister"},
    "ITqMultiPartContainerWriter": {"swigregister"},
    "ITqMultiPartSection": {"swigregister"},
    "ITqRegister": {"swigregister"},
    "ITqRegisterEventSink": {"new", "disown", "swigregister", "swiginit"},
    "ITqRegisterFactory": {"swigregister"},
    "ITqRegisterInfo": {"swigregister"},
    "ITqRegisterMap": {"swigregister"},
    "ITqRegisterStore": {"delete", "swigregister"},
    "ITqSoftDeviceGEV": {"swigregister"},
    "ITqSoftDeviceGEVEventSink": {"new", "disown", "swigregister", "swiginit"},
    "ITqSoftDeviceGEVInfo": {"delete", "swigregister"},
    "ITqSoftDeviceGEVStatistics": {"delete", "swigregister"},
    "ITqStreamingChannelSource": {"new", "disown", "swigregister", "swiginit"},
    "ITqUserSetNotify": {"new", "delete", "disown", "swigregister", "swiginit"},
    "TqBuffer": {"swigregister", "swiginit"},
    "TqBufferConverter": {"swigregister", "swiginit"},
    "TqBufferConverterRGBFilter": {"swigregister", "swiginit"},
    "TqChunkData": {"swigregister"},
    "TqCompressionFilter": {"swigregister", "swiginit"},
    "TqDecompressionFilter": {"swigregister", "swiginit"},
    "TqDevice": {"swigregister"},
    "TqDeviceAdapter": {"swigregister", "swiginit"},
    "TqDeviceEventSink": {"disown", "swigregister", "swiginit"},
    "TqDeviceGEV": {"swigregister", "swiginit"},
    "TqDeviceInfo": {"swigregister"},
    "TqDeviceInfoGEV": {"swigregister", "swiginit"},
    "TqDeviceInfoU3V": {"swigregister", "swiginit"},
    "TqDeviceInfoUSB": {"swigregister", "swiginit"},
    "TqDeviceInfoZelvraProtocol": {"swigregister", "swiginit"},
    "TqDeviceSerialPort": {"swigregister", "swiginit"},
    "TqDeviceU3V": {"swigregister", "swiginit"},
    "TqDeviceZelvraProtocol": {"swigregister"},
    "TqFPSStabilizer": {"swigregister", "swiginit"},
    "TqGenBoolean": {"swigregister"},
    "TqGenCategory": {"swigregister"},
    "TqGenCommand": {"swigregister"},
    "TqGenEnum": {"swigregister"},
    "TqGenEnumEntry": {"swigregister"},
    "TqGenEventSink": {"delete", "swigregister"},
    "TqGenFloat": {"swigregister"},
    "TqGenInteger": {"swigregister"},
    "TqGenParameter": {"swigregister"},
    "TqGenParameterArray": {"swigregister", "swiginit"},
    "TqGenParameterList": {"swigregister", "swiginit"},
    "TqGenRegister": {"swigregister"},
    "TqGenStateStack": {"swigregister", "swiginit"},
    "TqGenString": {"swigregister"},
    "TqImage": {"swigregister"},
    "TqInterface": {"swigregister"},
    "TqLogSink": ALL,
    "TqLogger": ALL,
    "TqNetworkAdapter": {"swigregister", "swiginit"},
    "TqPipeline": {"swigregister", "swiginit"},
    "TqPipelineEventSink": {"disown", "swigregister", "swiginit"},
    "TqRawData": {"swigregister"},
    "TqResult": {"swigregister", "swiginit"},
    "TqSessionInfo": ALL,
    "TqSoftDeviceGEV": {"swigregister", "swiginit"},
    "TqStream": {"Open", "swigregister"},
    "TqStreamGEV": {"swigregister", "swiginit"},
    "TqStreamRTP": {"swigregister", "swiginit"},
    "TqStreamU3V": {"swigregister", "swiginit"},
    "TqStreamingChannelSourceDefault": {"disown", "swigregister", "swiginit"},
    "TqString": {"__str__", "swigregister", "swiginit"},
    "TqSystem": {"swigregister", "swiginit"},
    "TqUSBHostController": {"swigregister", "swiginit"},
}
FREE_FUNCTIONS = {"TqGetPixelBitCount"}   # documented

CONSTRUCTOR, DESTRUCTOR, VIRTUAL = "Constructor.", "Destructor.", "Virtual destructor."
EITHER = ("Destructor.", "Destructor")   # where either form of the destructor's text is allowed

# Docstrings that are the whole text given (a tuple: one of its texts).
WORD_FOR_WORD = {
    "delete_TqResult": "Destructor",
    "delete_TqString": "Destructor",
    "new_TqFPSStabilizer": CONSTRUCTOR,
    "delete_TqFPSStabilizer": DESTRUCTOR,
    "TqFPSStabilizer_Reset": "Resets the history.",
    "new_TqGenParameterList": "Constructor",
    "delete_TqGenParameterList": "Destructor",
    "TqGenParameterList_Clear": "Clears the parameter list",
    "new_TqSystem": CONSTRUCTOR,
    "delete_TqSystem": DESTRUCTOR,
    "delete_TqDevice": "Destructor",
    "new_TqDeviceGEV": CONSTRUCTOR,
    "delete_TqDeviceGEV": "Destructor",
    "new_TqDeviceEventSink": CONSTRUCTOR,
    "delete_TqDeviceEventSink": DESTRUCTOR,
    "new_TqDeviceU3V": CONSTRUCTOR,
    "delete_TqDeviceU3V": "Destructor",
    "delete_TqDeviceZelvraProtocol": EITHER,
    "delete_TqDeviceInfo": DESTRUCTOR,
    "new_TqDeviceInfoGEV": CONSTRUCTOR,
    "delete_TqDeviceInfoGEV": DESTRUCTOR,
    "new_TqDeviceInfoU3V": CONSTRUCTOR,
    "delete_TqDeviceInfoU3V": DESTRUCTOR,
    "new_TqDeviceInfoUSB": CONSTRUCTOR,
    "delete_TqDeviceInfoUSB": DESTRUCTOR,
    "new_TqDeviceInfoZelvraProtocol": CONSTRUCTOR,
    "delete_TqDeviceInfoZelvraProtocol": DESTRUCTOR,
    "delete_TqInterface": DESTRUCTOR,
    "new_TqNetworkAdapter": CONSTRUCTOR,
    "delete_TqNetworkAdapter": DESTRUCTOR,
    "new_TqUSBHostController": CONSTRUCTOR,
    "delete_TqUSBHostController": DESTRUCTOR,
    "delete_TqDeviceAdapter": DESTRUCTOR,
    "new_TqDeviceSerialPort": CONSTRUCTOR,
    "delete_TqDeviceSerialPort": DESTRUCTOR,
    "delete_TqStream": EITHER,
    "new_TqStreamGEV": CONSTRUCTOR,
    "delete_TqStreamGEV": EITHER,
    "new_TqStreamU3V": CONSTRUCTOR,
    "delete_TqStreamU3V": EITHER,
    "new_TqStreamRTP": CONSTRUCTOR,
    "delete_TqStreamRTP": EITHER,
    "delete_TqPipeline": EITHER,
    "new_TqPipelineEventSink": CONSTRUCTOR,
    "delete_TqPipelineEventSink": EITHER,
    "new_TqSoftDeviceGEV": CONSTRUCTOR,
    "delete_TqSoftDeviceGEV": DESTRUCTOR,
    "delete_ITqSoftDeviceGEV": VIRTUAL,
    "delete_ITqStreamingChannelSource": VIRTUAL,
    "delete_TqStreamingChannelSourceDefault": "Destructor",
    "delete_ITqSoftDeviceGEVEventSink": VIRTUAL,
    "delete_ITqRegister": VIRTUAL,
    "delete_ITqRegisterInfo": VIRTUAL,
    "delete_ITqRegisterMap": VIRTUAL,
    "delete_ITqRegisterEventSink": VIRTUAL,
    "delete_ITqRegisterFactory": VIRTUAL,
    "delete_ITqGenApiFactory": VIRTUAL,
}

# Docstrings whose first words are given.
BEGINS = {
    "new_TqDeviceAdapter": "Constructor.",
    "new_TqStreamingChannelSourceDefault": "Default constructor.",
    "new_TqPipeline": "The TqPipeline is just a helper of a TqStream class.",
    "ITqImage_GetDataPointer": "GetDataPointer(self) -> ndarray",
    "TqBufferConverter_Convert": "Convert(*args) -> TqResult, TqBuffer",
    "TqCompressionFilter_Execute": "Convert(self, aIn, aOut) -> TqResult, TqBuffer",
    "TqDecompressionFilter_Execute": "Convert(self, aIn, aOut) -> TqResult, TqBuffer",
    "TqDecompressionFilter_GetOutputFormatFor": "Convert(self, aIn) -> TqResult, TqPixelType, int, int",
    "TqDevice_CreateAndConnect": "CreateAndConnect(*args) -> TqResult, TqDevice",
    "TqDevice_GetDefaultGenICamXMLFilename": "GetDefaultGenICamXMLFilename() -> TqResult, str",
    "TqDevice_ReadMemory": "ReadMemory( aAddress, aByteCount ) -> TqResult, ndarray",
    "TqDeviceAdapter_GetUniqueID": "Returns a unique string identifier for the device.",
    "TqDeviceAdapter_GetGenStringValue": "Returns the string value of string parameter identified by its name.",
    "TqDeviceSerialPort_Write": "Write( aBuffer ) -> TqResult, int",
    "TqDeviceSerialPort_Read": "Read( aSize, aTimeout=0 ) -> TqResult, ndarray, int",
    "TqDeviceSerialPort_GetWriteProgress": "GetWriteProgress() -> TqResult, int, int",
}

SOURCE, DEFAULT = "ITqStreamingChannelSource", "TqStreamingChannelSourceDefault"
# The interface's operations the ready-made source has no function of its own for.
INTERFACE_ONLY = {"GetGevSCPSPacketSizeInfo", "QueueBuffer", "PreQueueBufferProc", "PostRetrieveBufferProc",
                  "RetrieveBuffer"}
# A fact of each operation's contract its docstring tells.
SOURCE_FACTS = {
    "GetWidth": "image width", "GetHeight": "image height", "GetOffsetX": "offset X", "GetOffsetY": "offset Y",
    "GetPixelType": "pixel type", "GetWidthInfo": "Width GenICam parameter",
    "GetHeightInfo": "Height GenICam parameter", "GetChunksSize": "reports 72",
    "GetPayloadSize": "0 lets the device infer it", "GetScanType": "TqScanTypeLine",
    "GetChunkModeActive": "master chunk mode", "GetChunkEnable": "per chunk ID",
    "GetSupportedPixelType": "from index 0 upward", "GetSupportedChunk": "0x4001",
    "GetGevSCPSPacketSizeInfo": "9000 bytes", "SetWidth": "changed Width", "SetHeight": "changed Height",
    "SetOffsetX": "changed OffsetX", "SetOffsetY": "changed OffsetY", "SetPixelType": "changed PixelFormat",
    "SetChunkModeActive": "master chunk mode", "SetChunkEnable": "enable of the chunk", "OnOpen": "(SCDA)",
    "OnClose": "was closed", "OnStreamingStart": "start streaming", "OnStreamingStop": "stop streaming",
    "AllocBuffer": "At most 64 buffers", "FreeBuffer": "nowhere else",
    "GetTxNumBuffersToUse": "the tuple (result, count)", "QueueBuffer": "queue full",
    "PreQueueBufferProc": "(True)", "PostRetrieveBufferProc": "(nothing)",
    "RetrieveBuffer": "the tuple (result, buffer)", "AbortQueuedBuffers": "must give all of them back",
    "CreateRegisters": "before CreateGenApiFeatures", "CreateGenApiFeatures": "after CreateRegisters",
    "IsPayloadTypeSupported": "GevSCCFGMultiPartEnabled", "SetMultiPartAllowed": "not forced",
    "SetLargeLeaderTrailerEnabled": "at most 10 parts", "SetTestPayloadFormatMode": "Validation Framework",
}


def functions(m):
    return {name: f for name, f in vars(m).items() if isinstance(f, types.BuiltinFunctionType)}


def by_class(m):
    """{class: {short name: docstring}} for every class (the classes are those registered), and the
    functions of no class."""
    everything = functions(m)
    classes = sorted((n[:-len("_swigregister")] for n in everything if n.endswith("_swigregister")),
                     key=len, reverse=True)
    out, free = {c: {} for c in classes}, {}
    for name, f in everything.items():
        for c in classes:   # the longest class name the function belongs to
            special = next((p for p in ("new", "delete", "disown") if name == "%s_%s" % (p, c)), None)
            if special or name.startswith(c + "_"):
                out[c][special or name[len(c) + 1:]] = f.__doc__
                break
        else:
            free[name] = f.__doc__
    return out, free


def test_every_class_carries_the_docstrings_it_is_given(m):
    classes, free = by_class(m)
    assert set(classes) == set(WITHOUT), "the table lists every class of the module, and only those"
    assert {name for name, doc in free.items() if doc} == FREE_FUNCTIONS == set(free)
    wrong = {}
    for c, docs in sorted(classes.items()):
        expected = set(docs) if WITHOUT[c] == ALL else WITHOUT[c]
        assert expected <= set(docs), (c, expected - set(docs))
        without = {name for name, doc in docs.items() if not doc}
        if without != expected:
            wrong[c] = {"missing": sorted(without - expected), "unexpected": sorted(expected - without)}
    assert not wrong, wrong


@pytest.mark.parametrize("name", sorted(WORD_FOR_WORD))
def test_fixed_docstrings_are_word_for_word(m, name):
    expected = WORD_FOR_WORD[name]
    doc = getattr(m, name).__doc__
    assert doc in (expected if isinstance(expected, tuple) else (expected,)), (name, doc)


def test_given_beginnings(m):
    wrong = {name: getattr(m, name).__doc__ for name, start in BEGINS.items()
             if not (getattr(m, name).__doc__ or "").startswith(start)}
    assert not wrong, wrong
    assert ":param aDevice: A device." in m.new_TqDeviceAdapter.__doc__


def test_the_stream_sources_tell_each_operations_contract(m):
    classes, _ = by_class(m)
    interface, default = classes[SOURCE], classes[DEFAULT]
    operations = set(SOURCE_FACTS)
    assert {n for n in interface if n not in ("new", "delete", "disown", "swigregister", "swiginit")} == operations
    assert {n for n in default if n not in ("new", "delete", "disown", "swigregister", "swiginit")} == \
        operations - INTERFACE_ONLY
    for operation, fact in SOURCE_FACTS.items():
        doc = interface[operation]
        assert fact in doc.split("\n\n:type")[0], (operation, doc)   # in the text, not in the field list
        if operation not in INTERFACE_ONLY:
            assert default[operation] == doc, operation   # the same contract through either class
    # The field lists name the operations' arguments as the interface does.
    assert ":param aChunkID:" in interface["SetChunkEnable"] and ":param aEnabled:" in interface["SetChunkEnable"]
    assert ":param aMaxMultiPartCount:" in interface["SetLargeLeaderTrailerEnabled"]
    assert ":param aNumBuffer:" in interface["GetTxNumBuffersToUse"]
    # The constructor: its four optional values with the defaults they take.
    ctor = default["new"]
    for line in (":type aWidth: int, in, optional", "(640)", ":type aHeight: int, in, optional", "(480)",
                 ":type aPixelType: int, in, optional", "TqPixelMono8", ":type aBufferCount: int, in, optional",
                 "(16)"):
        assert line in ctor, (line, ctor)
    for name in ("aWidth", "aHeight", "aPixelType", "aBufferCount"):
        assert ctor.index(":param %s:" % name) > ctor.index(":type %s:" % name)


def test_the_callbacks_tell_when_they_come(m):
    """The callback classes' functions carry what their callbacks mean."""
    facts = {
        "ITqSoftDeviceGEVEventSink_OnApplicationConnect": "taken ownership of the control channel",
        "ITqSoftDeviceGEVEventSink_OnControlChannelStart": "3956",
        "ITqSoftDeviceGEVEventSink_OnApplicationDisconnect": "heartbeat",
        "ITqSoftDeviceGEVEventSink_OnControlChannelStop": "stopped",
        "ITqSoftDeviceGEVEventSink_OnDeviceResetFull": "power cycle",
        "ITqSoftDeviceGEVEventSink_OnDeviceResetNetwork": "FORCEIP_CMD",
        "ITqSoftDeviceGEVEventSink_OnCreateCustomRegisters": "before the custom GenApi features",
        "ITqSoftDeviceGEVEventSink_OnCreateCustomGenApiFeatures": "after the custom registers",
        "ITqRegisterEventSink_PreRead": "READMEM_CMD",
        "ITqRegisterEventSink_PostRead": "after a register read",
        "ITqRegisterEventSink_PreWrite": "revert to its previous value",
        "ITqRegisterEventSink_PostWrite": "SCDA or SCP",
        "ITqRegisterEventSink_Persist": "NOT_IMPLEMENTED",
        "TqPipelineEventSink_OnBufferCreated": "before its payload has been allocated.",
        "TqPipelineEventSink_OnBufferDeleted": "right before the TqBuffer is deleted.",
        "TqPipelineEventSink_OnStart": "#TqPipeline::Start.",
        "TqPipelineEventSink_OnStop": "#TqPipeline::Stop.",
        "TqPipelineEventSink_OnReset": "#TqPipeline::Reset.",
        "TqPipelineEventSink_OnBufferTooSmall": "The aResetStats parameter is only considered if aReallocAll is set",
        "TqPipelineEventSink_OnBufferReady": "Invoked after a buffer has been retrieved from stream",
    }
    wrong = {name: getattr(m, name).__doc__ for name, fact in facts.items() if fact not in getattr(m, name).__doc__}
    assert not wrong, wrong
