// Plugs an emulated USB sensor into an emulated bus and runs a program that
// sees it, for demonstrations and training without hardware:
//
//   umockdev-wrapper usb_sensor_host [--model M] [--serial S] [--interface N] -- program [args]
//
// The program inherits the emulation (umockdev's preload library and test
// bed) and its usbfs requests are answered here. Exits with its status.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "usb_instrument.h"

int main(int argc, char** argv) {
    std::string model = "K7141HA", serial = "SN000001";
    long interface_number = 0;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (i + 1 < argc && std::strcmp(argv[i], "--model") == 0) {
            model = argv[++i];
        } else if (i + 1 < argc && std::strcmp(argv[i], "--serial") == 0) {
            serial = argv[++i];
        } else if (i + 1 < argc && std::strcmp(argv[i], "--interface") == 0) {
            // Above 0 a vendor-specific interface comes first, as on
            // instruments with a second function.
            char* end = nullptr;
            interface_number = std::strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || interface_number < 0 || interface_number > 7) {
                std::fprintf(stderr, "usb_sensor_host: --interface takes 0 to 7\n");
                return 2;
            }
        } else {
            std::fprintf(stderr,
                         "usage: umockdev-wrapper %s [--model M] [--serial S] [--interface N] -- "
                         "program [args]\n",
                         argv[0]);
            return 2;
        }
    }
    if (i + 1 >= argc) {
        std::fprintf(stderr, "usb_sensor_host: no program to run after --\n");
        return 2;
    }
    if (!usbemu::in_mock_environment()) {
        std::fprintf(stderr, "usb_sensor_host: run it under umockdev-wrapper\n");
        return 2;
    }
    usbemu::UsbInstrumentOptions options;
    options.serial = serial;
    options.product_name = model;
    options.interface_number = uint8_t(interface_number);
    options.instrument.idn = sim::identity_for_model(model, serial, "1.0.0");
    if (options.instrument.idn.empty()) {
        std::fprintf(stderr, "usb_sensor_host: unknown model '%s'\n", model.c_str());
        return 2;
    }
    options.instrument.sector_sizes = sim::default_sector_sizes();
    usbemu::UsbBed bed;
    usbemu::UsbInstrument sensor(bed, options);
    std::printf("usb sensor ready %s (%s)\n", sensor.resource().c_str(), model.c_str());
    std::fflush(stdout);

    const pid_t child = ::fork();
    if (child == 0) {
        ::execvp(argv[i + 1], argv + i + 1);
        std::fprintf(stderr, "usb_sensor_host: cannot run %s: %s\n", argv[i + 1],
                     std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) < 0) return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
