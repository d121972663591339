// q318b-host: loads the q318b_419 plug-in as the monitoring host does and
// shows what it creates.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <memory>

#include "device/q318b_419.h"
#include "runtime/plugin_loader.h"

int main(int argc, char** argv) {
    CLI::App app{"q318b-host: host runner for the q318b_419 device plug-in"};
    std::string plugin_path = Q318B_DEFAULT_PLUGIN;
    app.add_option("--plugin", plugin_path, "path of q318b_419.so")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    try {
        PluginHandle plugin(plugin_path);
        auto providers = plugin.GetProviders();
        if (providers.size() != 1) {
            std::cerr << "q318b-host: " << plugin_path << " offers " << providers.size()
                      << " providers, expected 1\n";
            return 1;
        }
        auto* factory = dynamic_cast<QVRSPDeviceProvider*>(providers[0].get());
        if (factory == nullptr) {
            std::cerr << "q318b-host: the provider of " << plugin_path
                      << " does not make serial-port devices\n";
            return 1;
        }
        std::unique_ptr<QVRSPDevice> dev(factory->create());
        // The host knows the model's layout from its headers; the class
        // itself stays hidden in the plug-in.
        const auto& d = *static_cast<const q318b_419*>(dev.get());
        std::cout << "plugin       " << plugin_path << "\n"
                  << "device type  " << dev->DeviceType() << "\n"
                  << "record size  " << sizeof d.data_ << " bytes (type " << kQ318bDataType
                  << ")\n"
                  << "options      b_mode=" << d.b_mode_ << " cg=" << int(d.group_byte_)
                  << " has_ac=" << d.has_ac << " has_dc=" << d.has_dc
                  << " no_dc_number=" << d.no_dc_number << " has_a=" << d.has_a
                  << " has_b=" << d.has_b << " has_c=" << d.has_c
                  << " dc_i_adjust=" << d.dc_i_adjust << " ac_line=" << d.ac_line
                  << " ac_type=" << d.ac_type << " skip_41_41=" << d.skip_41_41
                  << " has_tower=" << d.has_tower << " no_40_arg=" << d.no_40_arg
                  << " no_42_arg=" << d.no_42_arg << " open_41_43=" << d.open_41_43 << "\n"
                  << "port         baud_rate=" << d.baud_rate_ << " port_flag=" << d.port_flag_
                  << " protocol_ver=0x" << std::hex << int(d.protocol_ver_) << std::dec
                  << "\n";
    } catch (const std::exception& e) {
        std::cerr << "q318b-host: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
