// The faces as the core hands them the file: each section to its own face,
// and each running face's own answer to a reload.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "service/face_registry.h"
#include "service/service_config.h"

namespace orva::service {
namespace {

constexpr const char* kFaces =
    "[service]\nlisten = 127.0.0.1:0\n"
    "[mqtt]\nurl = mqtt://127.0.0.1:1\n"
    "[modbus]\nlisten = 127.0.0.1:0\nmax_clients = 40\n"
    "[opcua]\nanything = the gateway checks it\n"
    "[a]\nport = /dev/ttyS0\nmodbus_unit = 2\n";

const FaceDefinition& face(const std::string& section) {
    const FaceDefinition* found = faceOfSection(section);
    if (found == nullptr) throw std::logic_error("no face " + section);
    return *found;
}

TEST(Faces, EachSectionGoesToItsOwnFace) {
    const ServiceConfig c = parseConfig(kFaces, "f.ini");
    EXPECT_EQ(c.scales.size(), 1u);  // no face's section is taken for a scale
    for (const char* running : {"service", "mqtt", "modbus"}) EXPECT_EQ(c.faces.count(running), 1u) << running;
    EXPECT_EQ(c.faces.count("opcua"), 0u);  // a program beside the service checks it
    // The Modbus clients and the broker's connection are counted for the
    // descriptors the HTTP limits are fitted beside.
    EXPECT_GE(faceDescriptors(c.faces), 40 + 1 + 1);
    // A face's keys in a scale's section are its own, refused by it alone.
    try {
        parseConfig(std::string(kFaces) + "modbus_colour = red\n", "f.ini");
        ADD_FAILURE() << "a key no face knows was taken";
    } catch (const ConfigError& e) {
        EXPECT_EQ(e.line(), 13) << e.what();
    }
}

// MQTT keeps its broker session until a restart: every change of the
// section, or its removal, is said once; a file that does not change it
// again says nothing.
TEST(Faces, TheBrokerSectionChangedTakesARestartAndIsSaidOnce) {
    const ServiceConfig first = parseConfig(kFaces, "f.ini");
    std::unique_ptr<Face> mqtt = face("mqtt").start(*first.faces.at("mqtt"), FaceStart{"", [](const std::string&) {}});
    const ServiceConfig same = parseConfig(kFaces, "f.ini");
    std::string other = kFaces;
    other.replace(other.find("127.0.0.1:1"), 11, "127.0.0.1:2");
    const ServiceConfig changed = parseConfig(other, "f.ini");
    const std::string restart = "the [mqtt] section changed; it takes a restart";
    EXPECT_EQ(mqtt->reload(same.faces.at("mqtt").get()), "");
    EXPECT_EQ(mqtt->reload(changed.faces.at("mqtt").get()), restart);
    EXPECT_EQ(mqtt->reload(changed.faces.at("mqtt").get()), "");
    EXPECT_EQ(mqtt->reload(nullptr), restart);  // the section is gone
    EXPECT_EQ(mqtt->reload(nullptr), "");
    EXPECT_EQ(mqtt->reload(first.faces.at("mqtt").get()), restart);
}

}  // namespace
}  // namespace orva::service
