// libFuzzer target of the install room: the input's first two bytes
// choose a platform and what the device and the user bring (a file
// already there, a registry value, the setup DLL's answer, a comparison
// of the setup files, a security configuration and the prompt's answer);
// the rest is a CAB, which goes whole through that platform's installer.
// Beyond the sanitizers' checks and libFuzzer's time limit on each input
// (the work is bounded), it traps when an install leaves a path on the
// device that the installer's own rules refuse, or names as installed a
// program that is not there.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "installer.h"

namespace {

device_contents::Contents device_before(const installer::Platform &platform, bool with_files)
{
    device_contents::Contents device;
    for (const std::string &directory : installer::standard_directories(platform))
        device.make_directory(directory);
    if (with_files) {
        device.put({"\\Windows\\stowkey.exe", std::vector<std::uint8_t>(64, 'x'), 315532800});
        device.set({"HKEY_CURRENT_USER\\Test", "Kept", "string", "\"old\""});
    }
    return device;
}

void check(const installer::Result &result, const device_contents::Contents &device)
{
    for (const auto &[key, file] : device.files) {
        if (!installer::path_problem(file.path).empty())
            __builtin_trap();
    }
    if (result.ending == installer::Result::installed) {
        for (const std::string &program : result.programs) {
            if (device.find(program) == nullptr)
                __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const installer::Platform &platform = installer::platforms[data[0] % installer::platform_count];
    std::vector<std::uint8_t> cab(data + 2, data + size);
    installer::Request request;
    request.platform = &platform;
    request.cab = &cab;
    request.setup_dll = installer::SetupDll((data[0] >> 5) % 3);
    security::Model model;
    if (platform.has_security_model && data[1] % 8 < 6) {
        model.configuration = security::Configuration(data[1] % 8);
        model.answer = security::Answer((data[1] >> 3) % 3);
        model.grant_manager_default = platform.grant_manager;
        model.policies = security::preset(model.configuration, platform.grant_manager);
        // Manager's rights for USER_AUTH, so that provisioning is reached.
        if (data[1] & 0x40)
            model.policies[security::grant_manager] = security::role_user_auth;
        request.security = &model;
    }
    device_contents::Contents device = device_before(platform, data[0] & 0x10);
    if (data[1] & 0x80) {
        std::string difference;
        (void)installer::compare_setup_files(request, device, difference);
        return 0;
    }
    Trace trace;
    installer::Result result = installer::install(request, device, trace);
    check(result, device);
    return 0;
}
