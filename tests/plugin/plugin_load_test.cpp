// Loads the built plug-in into this host process, as the real host does.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "device/q318b_419.h"
#include "host/provider.h"
#include "runtime/framework/plugin_loader.h"
#include "runtime/framework/recording_controller.h"

namespace {

const QVRSPDeviceProvider& AsSpProvider(const std::shared_ptr<Provider>& p) {
    auto* sp = dynamic_cast<const QVRSPDeviceProvider*>(p.get());
    EXPECT_NE(sp, nullptr);
    return *sp;
}

bool AllZero(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0) return false;
    return true;
}

// The device class is hidden inside the plug-in; the host knows its layout
// from the headers, and the cast needs no symbol of the plug-in.
const q318b_419& Model(const QVRSPDevice* dev) {
    return *static_cast<const q318b_419*>(dev);
}

TEST(PluginLoad, EachCallGivesANewVectorWithOneDistinctProvider) {
    PluginHandle plugin(Q318B_PLUGIN_PATH);
    auto first = plugin.GetProviders();
    auto second = plugin.GetProviders();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(first[0].get(), second[0].get());
    EXPECT_EQ(first[0].use_count(), 1);
}

TEST(PluginLoad, CreatedDevicesCarryEveryDefault) {
    PluginHandle plugin(Q318B_PLUGIN_PATH);
    auto providers = plugin.GetProviders();
    std::unique_ptr<QVRSPDevice> a(AsSpProvider(providers[0]).create());
    std::unique_ptr<QVRSPDevice> b(AsSpProvider(providers[0]).create());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a.get(), b.get());

    for (const QVRSPDevice* dev : {a.get(), b.get()}) {
        const q318b_419& d = Model(dev);
        EXPECT_EQ(dev->DeviceType(), "q318b_419");
        EXPECT_EQ(sizeof d.data_, 2704u);
        EXPECT_TRUE(AllZero(&d.data_, sizeof d.data_));
        EXPECT_EQ(d.b_mode_, 1);
        EXPECT_EQ(d.baud_rate_, 9600);
        EXPECT_TRUE(d.port_flag_);
        EXPECT_EQ(d.protocol_ver_, 0x20);
        EXPECT_EQ(d.ctrl_result_, -1);
        EXPECT_EQ(d.group_byte_, 1);
        EXPECT_TRUE(d.has_ac);
        EXPECT_FALSE(d.has_dc);
        EXPECT_EQ(d.no_dc_number, -1);
        EXPECT_TRUE(d.has_a);
        EXPECT_TRUE(d.has_b);
        EXPECT_TRUE(d.has_c);
        EXPECT_EQ(d.dc_i_adjust, 1);
        EXPECT_EQ(d.ac_line, 1);
        EXPECT_EQ(d.ac_type, 0);
        EXPECT_EQ(d.skip_41_41, 0);
        EXPECT_FALSE(d.has_tower);
        EXPECT_EQ(d.no_40_arg, 0);
        EXPECT_EQ(d.no_42_arg, 0);
        EXPECT_EQ(d.dc_number_, 0u);
        EXPECT_EQ(d.open_41_43, 0);
        EXPECT_TRUE(d.json_data_.isNull());
        EXPECT_TRUE(d.ai_rules_.empty());
        EXPECT_TRUE(d.alarm_rules_.empty());
        EXPECT_TRUE(d.up_rules_.empty() && d.up2_rules_.empty() && d.low_rules_.empty() &&
                    d.low2_rules_.empty());
    }
    EXPECT_EQ(a->GetChildVDevice(0), nullptr);
    EXPECT_TRUE(a->GetAllChildVDevices().empty());
}

TEST(PluginLoad, DevicesOutliveTheirProvider) {
    PluginHandle plugin(Q318B_PLUGIN_PATH);
    auto providers = plugin.GetProviders();
    std::unique_ptr<QVRSPDevice> dev(AsSpProvider(providers[0]).create());
    providers.clear();  // the last reference to the provider goes here

    auto controller = std::make_shared<RecordingController>();
    ASSERT_TRUE(dev->Init(controller, 42, Json::Value()));
    EXPECT_EQ(dev->DataId(), 42u);
    EXPECT_EQ(dev->DeviceType(), "q318b_419");
    // A wrong-sized cache block is refused by the device itself.
    EXPECT_FALSE(dev->LoadFromCache(std::string(2703, '\0')));
}

TEST(PluginLoad, DeletingThroughEveryBaseRunsTheWholeDestructorChain) {
    PluginHandle plugin(Q318B_PLUGIN_PATH);
    auto providers = plugin.GetProviders();
    const auto& provider = AsSpProvider(providers[0]);
    // Give the device owned memory in every level; in the sanitizer build
    // LeakSanitizer fails this test if a destructor of the chain is skipped.
    VDeviceInterface* base = provider.create();
    ASSERT_NE(base, nullptr);
    auto* dev = static_cast<q318b_419*>(static_cast<QVRSPDevice*>(base));
    dev->alarm_rules_["k"] = std::string(256, 'x');
    dev->json_data_["v"] = std::string(256, 'y');
    dev->alarm_level_["120600180010"] = 1;
    delete base;

    QVRSPDevice* sp = provider.create();
    ASSERT_NE(sp, nullptr);
    delete sp;
}

TEST(PluginLoad, MissingFileIsAClearError) {
    try {
        PluginHandle plugin("/nonexistent/q318b_419.so");
        FAIL() << "loading a missing file must throw";
    } catch (const PluginError& e) {
        EXPECT_NE(std::strstr(e.what(), "/nonexistent/q318b_419.so"), nullptr);
    }
}

}  // namespace
