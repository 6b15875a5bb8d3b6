// The device's GenICam description (GenApi schema 1.1): SFNC names over the bootstrap and feature
// registers. Elements stand in the order the schema's sequences give them.
#include "TqEngineImpl.h"

#include <cstdio>

namespace TqEngine {

namespace {

std::string Hex(uint32_t aValue) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", aValue);
    return text;
}

// Attribute values of the root element keep to letters, digits and a few safe signs.
std::string Attribute(const std::string& aText, const char* aFallback) {
    std::string out;
    for (char c : aText)
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')
            out += c;
        else if (c == ' ')
            out += '_';
    if (out.empty()) out = aFallback;
    return out;
}

struct Writer {
    std::string text;

    void Line(const std::string& aLine) { text += "  " + aLine + "\n"; }

    void Category(const char* aName, std::initializer_list<const char*> aFeatures) {
        Line(std::string("<Category Name=\"") + aName + "\" NameSpace=\"Standard\">");
        for (const char* feature : aFeatures) Line(std::string("  <pFeature>") + feature + "</pFeature>");
        Line("</Category>");
    }

    // IntReg of 4 (or 8) bytes on the device port.
    void IntReg(const char* aName, uint32_t aAddress, const char* aAccess, int aLength = 4, bool aStandard = true,
                const char* aVisibility = nullptr) {
        Line(std::string("<IntReg Name=\"") + aName + "\" NameSpace=\"" + (aStandard ? "Standard" : "Custom") + "\">");
        if (aVisibility) Line(std::string("  <Visibility>") + aVisibility + "</Visibility>");
        Line("  <Address>" + Hex(aAddress) + "</Address>");
        Line("  <Length>" + std::to_string(aLength) + "</Length>");
        Line(std::string("  <AccessMode>") + aAccess + "</AccessMode>");
        Line("  <pPort>Device</pPort>");
        Line("  <Cachable>NoCache</Cachable>");
        Line("  <Sign>Unsigned</Sign>");
        Line("  <Endianess>BigEndian</Endianess>");
        Line("</IntReg>");
    }

    // MaskedIntReg over big-endian bit numbers (bit 0 is the most significant).
    void Masked(const char* aName, uint32_t aAddress, int aMsb, int aLsb) {
        Line(std::string("<MaskedIntReg Name=\"") + aName + "\" NameSpace=\"Custom\">");
        Line("  <Visibility>Invisible</Visibility>");
        Line("  <Address>" + Hex(aAddress) + "</Address>");
        Line("  <Length>4</Length>");
        Line("  <AccessMode>RW</AccessMode>");
        Line("  <pPort>Device</pPort>");
        Line("  <Cachable>NoCache</Cachable>");
        if (aMsb == aLsb) {
            Line("  <Bit>" + std::to_string(aLsb) + "</Bit>");
        } else {
            Line("  <LSB>" + std::to_string(aLsb) + "</LSB>");
            Line("  <MSB>" + std::to_string(aMsb) + "</MSB>");
        }
        Line("  <Sign>Unsigned</Sign>");
        Line("  <Endianess>BigEndian</Endianess>");
        Line("</MaskedIntReg>");
    }

    void StringReg(const char* aName, uint32_t aAddress, int aLength, const char* aAccess) {
        Line(std::string("<StringReg Name=\"") + aName + "\" NameSpace=\"Standard\">");
        Line("  <Address>" + Hex(aAddress) + "</Address>");
        Line("  <Length>" + std::to_string(aLength) + "</Length>");
        Line(std::string("  <AccessMode>") + aAccess + "</AccessMode>");
        Line("  <pPort>Device</pPort>");
        Line("  <Cachable>NoCache</Cachable>");
        Line("</StringReg>");
    }

    // Integer over a register node, with fixed or computed bounds.
    void Integer(const char* aName, const char* aValue, const std::string& aMin, const std::string& aMax,
                 const char* aLocked = nullptr, int aInc = 0, const char* aUnit = nullptr,
                 const char* aVisibility = nullptr) {
        Line(std::string("<Integer Name=\"") + aName + "\" NameSpace=\"Standard\">");
        if (aVisibility) Line(std::string("  <Visibility>") + aVisibility + "</Visibility>");
        if (aLocked) Line(std::string("  <pIsLocked>") + aLocked + "</pIsLocked>");
        Line(std::string("  <pValue>") + aValue + "</pValue>");
        auto bound = [&](const char* aTag, const std::string& aBound) {
            if (aBound.empty()) return;
            const bool node = !(aBound[0] >= '0' && aBound[0] <= '9');
            Line(std::string("  <") + (node ? "p" : "") + aTag + ">" + aBound + "</" + (node ? "p" : "") + aTag + ">");
        };
        bound("Min", aMin);
        bound("Max", aMax);
        if (aInc) Line("  <Inc>" + std::to_string(aInc) + "</Inc>");
        if (aUnit) Line(std::string("  <Unit>") + aUnit + "</Unit>");
        Line("</Integer>");
    }

    void Command(const char* aName, const char* aValue) {
        Line(std::string("<Command Name=\"") + aName + "\" NameSpace=\"Standard\">");
        Line(std::string("  <pValue>") + aValue + "</pValue>");
        Line("  <CommandValue>1</CommandValue>");
        Line("</Command>");
    }

    void Boolean(const char* aName, const char* aValue, const char* aLocked = nullptr) {
        Line(std::string("<Boolean Name=\"") + aName + "\" NameSpace=\"Standard\">");
        if (aLocked) Line(std::string("  <pIsLocked>") + aLocked + "</pIsLocked>");
        Line(std::string("  <pValue>") + aValue + "</pValue>");
        Line("  <OnValue>1</OnValue>");
        Line("  <OffValue>0</OffValue>");
        Line("</Boolean>");
    }

    void Enumeration(const char* aName, const char* aValue, const std::vector<std::pair<const char*, uint32_t>>& aEntries,
                     const char* aLocked = nullptr) {
        Line(std::string("<Enumeration Name=\"") + aName + "\" NameSpace=\"Standard\">");
        if (aLocked) Line(std::string("  <pIsLocked>") + aLocked + "</pIsLocked>");
        for (const auto& [entry, value] : aEntries) {
            Line(std::string("  <EnumEntry Name=\"") + entry + "\" NameSpace=\"Standard\">");
            Line("    <Value>" + std::to_string(value) + "</Value>");
            Line("  </EnumEntry>");
        }
        Line(std::string("  <pValue>") + aValue + "</pValue>");
        Line("</Enumeration>");
    }

    void SwissKnife(const char* aName, std::initializer_list<std::pair<const char*, const char*>> aVariables,
                    const char* aFormula, bool aStandard) {
        Line(std::string("<IntSwissKnife Name=\"") + aName + "\" NameSpace=\"" + (aStandard ? "Standard" : "Custom") + "\">");
        if (!aStandard) Line("  <Visibility>Invisible</Visibility>");
        for (const auto& [variable, node] : aVariables)
            Line(std::string("  <pVariable Name=\"") + variable + "\">" + node + "</pVariable>");
        Line(std::string("  <Formula>") + aFormula + "</Formula>");
        Line("</IntSwissKnife>");
    }

    void Converter(const char* aName, const char* aTo, const char* aFrom, const char* aValue, const char* aUnit,
                   const char* aSlope) {
        Line(std::string("<Converter Name=\"") + aName + "\" NameSpace=\"Standard\">");
        Line(std::string("  <FormulaTo>") + aTo + "</FormulaTo>");
        Line(std::string("  <FormulaFrom>") + aFrom + "</FormulaFrom>");
        Line(std::string("  <pValue>") + aValue + "</pValue>");
        if (aUnit) Line(std::string("  <Unit>") + aUnit + "</Unit>");
        Line(std::string("  <Slope>") + aSlope + "</Slope>");
        Line("</Converter>");
    }
};

}  // namespace

std::string BuildXml(const DeviceConfig& aConfig) {
    const Identity& id = aConfig.identity;
    Writer w;
    w.text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    w.text += "<RegisterDescription\n"
              "  ModelName=\"" + Attribute(id.model, "SoftwareDevice") + "\"\n"
              "  VendorName=\"" + Attribute(id.manufacturer, "Kivo") + "\"\n"
              "  ToolTip=\"Software GigE Vision device\"\n"
              "  StandardNameSpace=\"GEV\"\n"
              "  SchemaMajorVersion=\"1\"\n"
              "  SchemaMinorVersion=\"1\"\n"
              "  SchemaSubMinorVersion=\"0\"\n"
              "  MajorVersion=\"1\"\n"
              "  MinorVersion=\"0\"\n"
              "  SubMinorVersion=\"0\"\n"
              "  ProductGuid=\"4B49564F-0000-4000-8000-000000000001\"\n"
              "  VersionGuid=\"4B49564F-0000-4000-8000-000000010000\"\n"
              "  xmlns=\"http://www.genicam.org/GenApi/Version_1_1\"\n"
              "  xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
              "  xsi:schemaLocation=\"http://www.genicam.org/GenApi/Version_1_1 "
              "http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd\">\n\n";

    w.Category("Root", {"DeviceControl", "ImageFormatControl", "AcquisitionControl", "EventControl",
                        "TransportLayerControl", "SerialPortControl"});

    // ---- device control ----
    w.Category("DeviceControl", {"DeviceVendorName", "DeviceModelName", "DeviceVersion", "DeviceManufacturerInfo",
                                 "DeviceID", "DeviceSerialNumber", "DeviceUserID", "DeviceFirmwareVersion"});
    w.StringReg("DeviceVendorName", Reg::kManufacturerName, 32, "RO");
    w.StringReg("DeviceModelName", Reg::kModelName, 32, "RO");
    w.StringReg("DeviceVersion", Reg::kDeviceVersion, 32, "RO");
    w.StringReg("DeviceManufacturerInfo", Reg::kManufacturerInfo, 48, "RO");
    w.StringReg("DeviceID", Reg::kSerialNumber, 16, "RO");
    w.StringReg("DeviceSerialNumber", Reg::kSerialNumber, 16, "RO");
    w.StringReg("DeviceUserID", Reg::kUserName, 16, "RW");
    w.StringReg("DeviceFirmwareVersion", Reg::kFirmwareVersion, 32, "RO");

    // ---- image format ----
    w.Category("ImageFormatControl", {"SensorWidth", "SensorHeight", "WidthMax", "HeightMax", "Width", "Height",
                                      "OffsetX", "OffsetY", "PixelFormat"});
    w.IntReg("SensorWidth", Reg::kSensorWidth, "RO");
    w.IntReg("SensorHeight", Reg::kSensorHeight, "RO");
    w.SwissKnife("WidthMax", {{"SW", "SensorWidth"}, {"OX", "OffsetXReg"}}, "SW - OX", true);
    w.SwissKnife("HeightMax", {{"SH", "SensorHeight"}, {"OY", "OffsetYReg"}}, "SH - OY", true);
    w.SwissKnife("OffsetXMax", {{"SW", "SensorWidth"}, {"W", "WidthReg"}}, "SW - W", false);
    w.SwissKnife("OffsetYMax", {{"SH", "SensorHeight"}, {"H", "HeightReg"}}, "SH - H", false);
    w.Integer("Width", "WidthReg", "1", "WidthMax", "TLParamsLocked", 1);
    w.IntReg("WidthReg", Reg::kWidth, "RW", 4, false, "Invisible");
    w.Integer("Height", "HeightReg", "1", "HeightMax", "TLParamsLocked", 1);
    w.IntReg("HeightReg", Reg::kHeight, "RW", 4, false, "Invisible");
    w.Integer("OffsetX", "OffsetXReg", "0", "OffsetXMax", "TLParamsLocked", 1);
    w.IntReg("OffsetXReg", Reg::kOffsetX, "RW", 4, false, "Invisible");
    w.Integer("OffsetY", "OffsetYReg", "0", "OffsetYMax", "TLParamsLocked", 1);
    w.IntReg("OffsetYReg", Reg::kOffsetY, "RW", 4, false, "Invisible");
    std::vector<std::pair<const char*, uint32_t>> formats;
    for (uint32_t format : aConfig.pixelFormats) formats.emplace_back(Pfnc::Name(format), format);
    w.Enumeration("PixelFormat", "PixelFormatReg", formats, "TLParamsLocked");
    w.IntReg("PixelFormatReg", Reg::kPixelFormat, "RW", 4, false, "Invisible");

    // ---- acquisition ----
    w.Category("AcquisitionControl", {"AcquisitionMode", "AcquisitionStart", "AcquisitionStop",
                                      "AcquisitionFrameRateEnable", "AcquisitionFrameRate", "ExposureTime"});
    w.Enumeration("AcquisitionMode", "AcquisitionModeReg", {{"Continuous", 0}, {"SingleFrame", 1}});
    w.IntReg("AcquisitionModeReg", Reg::kAcquisitionMode, "RW", 4, false, "Invisible");
    w.Command("AcquisitionStart", "AcquisitionStartReg");
    w.IntReg("AcquisitionStartReg", Reg::kAcquisitionStart, "WO", 4, false, "Invisible");
    w.Command("AcquisitionStop", "AcquisitionStopReg");
    w.IntReg("AcquisitionStopReg", Reg::kAcquisitionStop, "WO", 4, false, "Invisible");
    w.Boolean("AcquisitionFrameRateEnable", "AcquisitionFrameRateEnableReg");
    w.IntReg("AcquisitionFrameRateEnableReg", Reg::kFrameRateEnable, "RW", 4, false, "Invisible");
    // The frame rate in Hz over the frame period in microseconds.
    w.Converter("AcquisitionFrameRate", "1000000 / FROM", "1000000 / TO", "AcquisitionFramePeriod", "Hz", "Decreasing");
    w.Integer("AcquisitionFramePeriod", "AcquisitionFramePeriodReg", "1000", "10000000", nullptr, 0, "us", "Invisible");
    w.IntReg("AcquisitionFramePeriodReg", Reg::kFramePeriod, "RW", 4, false, "Invisible");
    w.Converter("ExposureTime", "FROM", "TO", "ExposureTimeRaw", "us", "Increasing");
    w.Integer("ExposureTimeRaw", "ExposureTimeReg", "10", "1000000", nullptr, 0, "us", "Invisible");
    w.IntReg("ExposureTimeReg", Reg::kExposureTime, "RW", 4, false, "Invisible");

    // ---- events: FrameEnd, with the block ID and the timestamp as data ----
    w.Category("EventControl", {"EventSelector", "EventNotification", "EventFrameEnd", "EventFrameEndFrameID",
                                "EventFrameEndTimestamp"});
    w.Line("<Enumeration Name=\"EventSelector\" NameSpace=\"Standard\">");
    w.Line("  <EnumEntry Name=\"FrameEnd\" NameSpace=\"Standard\">");
    w.Line("    <Value>" + std::to_string(kFrameEndEventId) + "</Value>");
    w.Line("  </EnumEntry>");
    w.Line("  <Value>" + std::to_string(kFrameEndEventId) + "</Value>");
    w.Line("  <pSelected>EventNotification</pSelected>");
    w.Line("</Enumeration>");
    w.Enumeration("EventNotification", "EventNotificationReg", {{"Off", 0}, {"On", 1}});
    w.IntReg("EventNotificationReg", Reg::kEventNotification, "RW", 4, false, "Invisible");
    w.Line("<Integer Name=\"EventFrameEnd\" NameSpace=\"Standard\">");
    w.Line("  <Value>" + std::to_string(kFrameEndEventId) + "</Value>");
    w.Line("</Integer>");
    for (const auto& [name, offset] : {std::pair{"EventFrameEndFrameID", 0}, std::pair{"EventFrameEndTimestamp", 8}}) {
        w.Line(std::string("<IntReg Name=\"") + name + "\" NameSpace=\"Standard\">");
        w.Line("  <Address>" + Hex(uint32_t(offset)) + "</Address>");
        w.Line("  <Length>8</Length>");
        w.Line("  <AccessMode>RO</AccessMode>");
        w.Line("  <pPort>EventFrameEndPort</pPort>");
        w.Line("  <Cachable>NoCache</Cachable>");
        w.Line("  <Sign>Unsigned</Sign>");
        w.Line("  <Endianess>BigEndian</Endianess>");
        w.Line("</IntReg>");
    }
    char eventId[8];
    std::snprintf(eventId, sizeof eventId, "%04X", unsigned(kFrameEndEventId));
    w.Line("<Port Name=\"EventFrameEndPort\" NameSpace=\"Custom\">");
    w.Line(std::string("  <EventID>") + eventId + "</EventID>");
    w.Line("</Port>");

    // ---- transport layer ----
    w.Category("TransportLayerControl",
               {"PayloadSize", "TLParamsLocked", "GevCurrentIPAddress", "GevCurrentSubnetMask", "GevMACAddress",
                "GevHeartbeatTimeout", "GevTimestampTickFrequency", "GevCCP", "GevMCPHostPort", "GevMCDA", "GevMCTT",
                "GevMCRC", "GevSCPHostPort", "GevSCPSPacketSize", "GevSCPSDoNotFragment", "GevSCPSFireTestPacket",
                "GevSCPD", "GevSCDA", "GevSCSP"});
    w.SwissKnife("PayloadSize", {{"W", "WidthReg"}, {"H", "HeightReg"}, {"PF", "PixelFormatReg"}},
                 "W * H * ((PF &gt;&gt; 16) &amp; 255) / 8", true);
    w.Integer("TLParamsLocked", "TLParamsLockedReg", "0", "1", nullptr, 0, nullptr, "Invisible");
    w.IntReg("TLParamsLockedReg", Reg::kTLParamsLocked, "RW", 4, false, "Invisible");
    w.IntReg("GevCurrentIPAddress", Reg::kCurrentIp, "RO");
    w.IntReg("GevCurrentSubnetMask", Reg::kSubnetMask, "RO");
    w.IntReg("GevMACAddress", Reg::kMacHigh, "RO", 8);
    w.Integer("GevHeartbeatTimeout", "GevHeartbeatTimeoutReg", "500", "600000", nullptr, 0, "ms");
    w.IntReg("GevHeartbeatTimeoutReg", Reg::kHeartbeatTimeout, "RW", 4, false, "Invisible");
    w.IntReg("GevTimestampTickFrequency", Reg::kTickFrequencyHigh, "RO", 8);
    w.IntReg("GevCCP", Reg::kCcp, "RW", 4, true, "Guru");
    w.Integer("GevMCPHostPort", "GevMCPHostPortReg", "0", "65535");
    w.Masked("GevMCPHostPortReg", Reg::kMcp, 16, 31);
    w.IntReg("GevMCDA", Reg::kMcda, "RW");
    w.IntReg("GevMCTT", Reg::kMctt, "RW");
    w.IntReg("GevMCRC", Reg::kMcrc, "RW");
    w.Integer("GevSCPHostPort", "GevSCPHostPortReg", "0", "65535", "TLParamsLocked");
    w.Masked("GevSCPHostPortReg", Reg::Scp(0), 16, 31);
    w.Integer("GevSCPSPacketSize", "GevSCPSPacketSizeReg", std::to_string(Reg::kMinPacketSize),
              std::to_string(Reg::kMaxPacketSize), "TLParamsLocked", 4, "B");
    w.Masked("GevSCPSPacketSizeReg", Reg::Scps(0), 16, 31);
    w.Boolean("GevSCPSDoNotFragment", "GevSCPSDoNotFragmentReg", "TLParamsLocked");
    w.Masked("GevSCPSDoNotFragmentReg", Reg::Scps(0), 1, 1);
    w.Command("GevSCPSFireTestPacket", "GevSCPSFireTestPacketReg");
    w.Masked("GevSCPSFireTestPacketReg", Reg::Scps(0), 0, 0);
    w.IntReg("GevSCPD", Reg::Scpd(0), "RW");
    w.IntReg("GevSCDA", Reg::Scda(0), "RW");
    w.IntReg("GevSCSP", Reg::Scsp(0), "RO");

    // ---- serial ports: each port's status, event ID and loopback (the windows are no features) ----
    static const char* const kSerialNames[Serial::kPorts] = {"Serial0",     "Serial1",     "SerialBulk0", "SerialBulk1",
                                                             "SerialBulk2", "SerialBulk3", "SerialBulk4", "SerialBulk5",
                                                             "SerialBulk6", "SerialBulk7"};
    std::vector<std::string> serialFeatures;
    for (const char* port : kSerialNames)
        for (const char* what : {"Status", "EventID", "Loopback"}) serialFeatures.push_back(std::string(port) + what);
    w.Line("<Category Name=\"SerialPortControl\" NameSpace=\"Custom\">");
    for (const std::string& feature : serialFeatures) w.Line("  <pFeature>" + feature + "</pFeature>");
    w.Line("</Category>");
    for (uint32_t n = 0; n < Serial::kPorts; ++n) {
        const std::string port = kSerialNames[n];
        w.IntReg((port + "Status").c_str(), Serial::Base(n) + Serial::kStatus, "RO", 4, false, "Expert");
        w.IntReg((port + "EventID").c_str(), Serial::Base(n) + Serial::kEventId, "RO", 4, false, "Expert");
        w.IntReg((port + "Loopback").c_str(), Serial::Base(n) + Serial::kLoopback, "RW", 4, false, "Expert");
    }

    w.text += "\n  <Port Name=\"Device\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n";
    while (w.text.size() % 4) w.text.insert(w.text.size() - 1, " ");
    return w.text;
}

}  // namespace TqEngine
