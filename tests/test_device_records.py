"""Device information records and interfaces: typed as their most derived kind, values in their
ranges, exact messages, copies that their proxy owns, borrowed objects that keep their holder's
proxy alive; IPConfig and TqSessionInfo records."""

import gc
import weakref

import pytest

from conftest import arg, keeps_counts, raises


@pytest.fixture
def host(hooks):
    hooks.sim_add_hardware()
    yield {str(i.GetName()): i for i in hooks.sim_interfaces()}
    hooks.sim_remove_hardware()


def records(interface):
    return [interface.GetDeviceInfo(i) for i in range(interface.GetDeviceCount())]


def test_default_host_is_loopback_only(m, k, hooks):
    (lo,) = hooks.sim_interfaces()
    assert type(lo) is k.TqNetworkAdapter and lo.GetType() == m.TqInterfaceTypeNetworkAdapter
    assert (str(lo.GetName()), str(lo.GetMACAddress()), lo.GetIPAddressCount(), lo.GetDeviceCount()) == \
        ("lo", "00.00.00.00.00.00", 1, 0)
    assert (str(lo.GetIPAddress(0)), str(lo.GetSubnetMask(0))) == ("127.0.0.1", "255.0.0.0")
    assert str(lo.GetZelvraDriverVersion()) == "" and lo.IsZelvraDriverInstalled() is False
    assert lo.GetDeviceInfo(0) is None


def test_kinds_and_values(m, k, host):
    lo, usb, zel, other = host["lo"], host["USB3 host controller (simulated)"], host["zel0"], host["sim-other"]
    assert [type(i) for i in (lo, usb, zel, other)] == [k.TqNetworkAdapter, k.TqUSBHostController,
                                                        k.TqNetworkAdapter, k.TqInterface]
    (gev,), (u3v, plain), (zp,), (unknown,) = records(lo), records(usb), records(zel), records(other)
    assert [type(r) for r in (gev, u3v, plain, zp, unknown)] == [
        k.TqDeviceInfoGEV, k.TqDeviceInfoU3V, k.TqDeviceInfoUSB, k.TqDeviceInfoZelvraProtocol, k.TqDeviceInfo]
    assert [r.GetType() for r in (gev, u3v, plain, zp, unknown)] == [0, 3, 2, 1, -1]
    # A record names the interface it was found on, typed by its kind.
    assert [type(r.GetInterface()) for r in (gev, u3v, zp, unknown)] == [
        k.TqNetworkAdapter, k.TqUSBHostController, k.TqNetworkAdapter, k.TqInterface]
    # Base and intermediate classes work on the kinds; unsigned values never come out negative.
    assert isinstance(u3v, k.TqDeviceInfoUSB) and m.TqDeviceInfoUSB_GetStatus(u3v) == m.TqUSBStatusConnected
    assert str(m.TqDeviceInfo_GetVendorName(u3v)) == "Kivo Sim" and u3v.GetSpeed() == m.TqUSBSpeedSuper
    assert (u3v.GetMaxPower(), u3v.GetMaxPacketSize(), u3v.GetU3VVersion()) == (896, 1024, 0x00010001)
    assert gev.GetGEVVersion() == 0x80020001 and usb.GetSubsystemID() == 0x86868086
    assert (zp.GetDeviceID(), zp.GetModuleID(), zp.GetVendorID(), zp.GetSoftwareMinor()) == (200, 171, 255, 129)
    assert plain.GetStatus() == m.TqUSBStatusNotEnoughPower and plain.IsConfigurationValid() is False
    assert str(gev.GetMACAddress()) == "02:4b:49:56:00:02" and str(gev.GetIPConfigOptionsString())
    assert (gev.IsLLAAvailable(), gev.IsPGAvailable(), gev.IsLLAEnabled(), gev.IsDHCPEnabled()) == (True, False, True, False)
    # Strings are new owned TqString objects on every call.
    a, b = gev.GetModelName(), gev.GetModelName()
    assert isinstance(a, k.TqString) and a.thisown and a is not b and str(a) == "K-GEV 640"
    # Addresses and masks come in pairs; out of range gives the SDK's empty text.
    assert [(str(zel.GetIPAddress(i)), str(zel.GetSubnetMask(i))) for i in range(zel.GetIPAddressCount())] == \
        [("192.168.50.1", "255.255.255.0"), ("10.7.0.1", "255.255.0.0")]
    assert str(zel.GetIPAddress(2)) == "" and str(usb.GetZelvraDriverVersion()) == "6.1.0.3.2417"
    # Two calls give two proxies of the same record.
    again = lo.GetDeviceInfo(0)
    assert again is not gev and again.this == gev.this


def test_messages(m, k, hooks, host):
    lo, usb = host["lo"], host["USB3 host controller (simulated)"]
    u3v = usb.GetDeviceInfo(0)
    raises(TypeError, arg("TqDeviceInfo_GetVendorName", 1, "TqDeviceInfo const *"), m.TqDeviceInfo_GetVendorName, None)
    raises(TypeError, arg("TqDeviceInfoGEV_IsDHCPEnabled", 1, "TqDeviceInfoGEV const *"),
           m.TqDeviceInfoGEV_IsDHCPEnabled, u3v)
    raises(TypeError, arg("TqInterface_GetName", 1, "TqInterface const *"), m.TqInterface_GetName, u3v)
    raises(TypeError, arg("delete_TqDeviceInfo", 1, "TqDeviceInfo *"), m.delete_TqDeviceInfo, lo)
    assert m.delete_TqDeviceInfo(None) is None and m.delete_TqInterface(None) is None
    for bad, error in ((-1, OverflowError), (2**32, OverflowError), ("1", TypeError)):
        raises(error, arg("TqInterface_GetDeviceInfo", 2, "uint32_t"), m.TqInterface_GetDeviceInfo, usb, bad)
        raises(error, arg("TqNetworkAdapter_GetSubnetMask", 2, "uint32_t"), m.TqNetworkAdapter_GetSubnetMask, lo, bad)
    # Indexes reach the SDK unchecked; its range decides.
    assert m.TqInterface_GetDeviceInfo(usb, usb.GetDeviceCount()) is None
    assert usb.GetDeviceInfo(2**32 - 1) is None and hooks.call_log("TqInterface::GetDeviceInfo") == str(2**32 - 1)
    lo.GetSubnetMask(7)
    assert hooks.call_log("TqNetworkAdapter::GetSubnetMask") == "7"
    raises(TypeError, "TqInterface_GetDeviceInfo expected 2 arguments, got 1", m.TqInterface_GetDeviceInfo, usb)
    # Compare takes any two interfaces, in either order; None is refused.
    assert {m.TqInterface_Compare(lo, usb), m.TqInterface_Compare(usb, lo)} == {True, False}
    assert k.TqInterface.Compare(lo, lo) is False
    raises(TypeError, arg("TqInterface_Compare", 1, "TqInterface const *"), m.TqInterface_Compare, None, lo)
    raises(TypeError, arg("TqInterface_Compare", 2, "TqInterface const *"), m.TqInterface_Compare, lo, u3v)


def test_copies_are_owned(m, k, host, hooks):
    lo, usb = host["lo"], host["USB3 host controller (simulated)"]
    gev = lo.GetDeviceInfo(0)
    with keeps_counts():
        copy = gev.Copy()
        # The copy is a base-class proxy that owns its record: dropping it frees the record.
        assert type(copy) is k.TqDeviceInfo and copy.thisown and copy.this != gev.this
        assert str(copy.GetSerialNumber()) == "GEV-000912" and copy.GetType() == m.TqDeviceInfoTypeGEV
        raises(TypeError, arg("TqDeviceInfoGEV_GetMACAddress", 1, "TqDeviceInfoGEV const *"),
               m.TqDeviceInfoGEV_GetMACAddress, copy)
        del copy
        # delete_ destroys it too, and an interface copy holds copies of its records.
        assert m.delete_TqDeviceInfo(gev.Copy()) is None
        usb_copy = usb.Copy()
        assert type(usb_copy) is k.TqInterface and usb_copy.GetDeviceCount() == 2
        record = usb_copy.GetDeviceInfo(0)
        assert type(record) is k.TqDeviceInfoU3V and record.GetInterface().this == usb_copy.this
        # The record keeps the copy's proxy alive, so it never outlives the copy.
        alive = weakref.ref(usb_copy)
        del usb_copy
        gc.collect()
        assert alive() is not None and str(record.GetModelName()) == "K-U3 1920"
        del record
        gc.collect()
        assert alive() is None
        lo_copy = lo.Copy()
        raises(TypeError, arg("TqNetworkAdapter_GetMACAddress", 1, "TqNetworkAdapter const *"),
               m.TqNetworkAdapter_GetMACAddress, lo_copy)
        del lo_copy


def test_constructed_records_and_interfaces(m, k, gil_released):
    with keeps_counts():
        for cls in (k.TqDeviceInfoGEV, k.TqDeviceInfoZelvraProtocol, k.TqDeviceInfoUSB, k.TqDeviceInfoU3V,
                    k.TqNetworkAdapter, k.TqUSBHostController):
            obj = cls()
            assert obj.thisown and isinstance(obj, (k.TqDeviceInfo, k.TqInterface))
        del obj
        assert k.TqDeviceInfoUSB().GetStatus() == m.TqUSBStatusNotInitialized
        assert str(k.TqDeviceInfoGEV().GetIPAddress()) == "" and k.TqNetworkAdapter().GetIPAddressCount() == 0
        assert gil_released(lambda: m.delete_TqDeviceInfoGEV(m.new_TqDeviceInfoGEV()))
        assert m.new_TqDeviceInfoGEV.__doc__ == "Constructor." and m.delete_TqInterface.__doc__ == "Destructor."
        assert "milliamp" in m.TqDeviceInfoU3V_GetMaxPower.__doc__ and ":return:" in m.TqDeviceInfo_GetClass.__doc__


def test_ip_config(m, k):
    with keeps_counts():
        config = k.IPConfig()
        assert (config.mIPAddress, config.mSubnetMask) == ("", "")
        config.mIPAddress = "192.168.1.20"
        config.mSubnetMask = "adresse \u00e9t\u00e9"
        assert (config.mIPAddress, config.mSubnetMask) == ("192.168.1.20", "adresse \u00e9t\u00e9")
        setter = "IPConfig_mIPAddress_set"
        raises(TypeError, arg(setter, 2, "std::string const &"), m.IPConfig_mIPAddress_set, config, 5)
        raises(TypeError, "invalid null reference " + arg(setter, 2, "std::string const &"),
               m.IPConfig_mIPAddress_set, config, None)
        assert m.IPConfig_mIPAddress_set(None, "10.0.0.1") is None
        raises(TypeError, arg("IPConfig_mIPAddress_get", 1, "TqSystemLib::IPConfig *"), m.IPConfig_mIPAddress_get, None)
        raises(TypeError, "IPConfig_mSubnetMask_set expected 2 arguments, got 1", m.IPConfig_mSubnetMask_set, config)
        assert config.mIPAddress == "192.168.1.20"


def test_session_info(m, k):
    with keeps_counts():
        info = k.TqSessionInfo()
        assert (str(info.mName), str(info.mAddress), info.mPort, str(info.mLocalAddress)) == ("", "", 0, "")
        first, second = info.mName, m.TqSessionInfo_mName_get(info)
        assert first is not second and not first.thisown
        name = k.TqString("camera 1")
        info.mName = name
        name += "x"   # the record holds its own copy
        assert str(first) == str(second) == "camera 1"
        del first, second
        for value in ("text", None):
            raises(TypeError, arg("TqSessionInfo_mAddress_set", 2, "TqString *"), m.TqSessionInfo_mAddress_set, info,
                   value)
        info.mPort = 65535
        for value, error in ((65536, OverflowError), (-1, OverflowError), (1.5, TypeError)):
            raises(error, arg("TqSessionInfo_mPort_set", 2, "uint16_t"), m.TqSessionInfo_mPort_set, info, value)
        assert info.mPort == 65535
        assert m.TqSessionInfo_mName_set(None, k.TqString("y")) is None and m.TqSessionInfo_mPort_set(None, 5) is None
        raises(TypeError, arg("TqSessionInfo_mPort_get", 1, "TqSessionInfo *"), m.TqSessionInfo_mPort_get, None)
        raises(TypeError, arg("delete_TqSessionInfo", 1, "TqSessionInfo *"), m.delete_TqSessionInfo, name)
        # A view keeps its record alive.
        view = info.mLocalAddress
        alive = weakref.ref(info)
        del info
        gc.collect()
        assert alive() is not None and str(view) == ""
        view.__iadd__("local")
        assert str(alive().mLocalAddress) == "local"
        del view
        gc.collect()
        assert alive() is None
