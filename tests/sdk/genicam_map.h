// Node maps built from a few nodes for the GenICam tests: a description around them, a register of
// four bytes, and a map over a port with shortcuts by name.
#pragma once

#include "TqGenNodeMap.h"
#include "TqGenParameterArray.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace KivoGenTest {

using Bytes = std::vector<uint8_t>;
using TqGenICamLib::IPort;
using TqGenICamLib::Node;
using TqGenICamLib::NodeMap;

inline std::string Description(const std::string& aNodes) {
    return "<?xml version=\"1.0\"?>\n<RegisterDescription ModelName=\"T\" VendorName=\"T\">\n" + aNodes +
           "\n<Port Name=\"Device\"/>\n</RegisterDescription>\n";
}

inline std::string Reg(const std::string& aName, const std::string& aAddress, const std::string& aExtra = "",
                       const std::string& aKind = "IntReg") {
    return "<" + aKind + " Name=\"" + aName + "\"><Address>" + aAddress +
           "</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>" + aExtra + "</" + aKind + ">";
}

inline std::string Why(const TqResult& aResult) { return aResult.GetDescription().GetAscii(); }

// The node of that name, which the test expects to be there.
inline Node* Named(const NodeMap& aMap, const char* aName) {
    Node* node = aMap.Find(aName);
    EXPECT_NE(node, nullptr) << aName;
    return node;
}

// A node map over a port (memory of aPortSize bytes unless given), with shortcuts by name.
struct Map {
    std::shared_ptr<IPort> port;
    std::unique_ptr<NodeMap> map;
    TqResult loaded;

    explicit Map(const std::string& aXml, uint64_t aPortSize = 4096) : Map(aXml, TqGenParameterArray::MemoryPort(aPortSize)) {}
    Map(const std::string& aXml, std::shared_ptr<IPort> aPort) : port(std::move(aPort)) {
        loaded = NodeMap::Load(aXml.data(), aXml.size(), port, map);
    }
    Node* N(const char* aName) { return Named(*map, aName); }
    int64_t Int(const char* aName) {
        int64_t value = -12345;
        TqResult r = map->GetInteger(N(aName), value);
        EXPECT_TRUE(r.IsOK()) << aName << ": " << Why(r);
        return value;
    }
    double Real(const char* aName) {
        double value = -12345;
        TqResult r = map->GetFloat(N(aName), value);
        EXPECT_TRUE(r.IsOK()) << aName << ": " << Why(r);
        return value;
    }
    Bytes At(uint64_t aAddress, uint64_t aLength) {
        Bytes out(aLength);
        EXPECT_TRUE(port->Read(aAddress, out.data(), aLength).IsOK());
        return out;
    }
    void Put(uint64_t aAddress, const Bytes& aBytes) { ASSERT_TRUE(port->Write(aAddress, aBytes.data(), aBytes.size()).IsOK()); }
};

}  // namespace KivoGenTest
