#ifndef PELKO_GPIOCHIP_H
#define PELKO_GPIOCHIP_H

#include <string>

#include "Direction.h"

// The line driver's pin through the GPIO character device (the kernel's v2
// interface): one line requested as an output at 0 for the life of the
// object, switched with one ioctl each time. No library: Debian's libgpiod
// versions differ in their API, the kernel interface does not.
class GPIOChip : public Direction {
public:
    static const char* const DEFAULT_DEV_DIR;  // "/dev"

    // `chip`: a device path (has a '/'), or a chip's label or name looked up
    // among `devDir`/gpiochip*; empty: every chip there is searched for the
    // line. `line`: an offset on the chip (digits) or a line name.
    GPIOChip(const std::string& chip, const std::string& line, IoctlCall ioctlCall = {},
             std::string devDir = DEFAULT_DEV_DIR);
    GPIOChip(const GPIOChip&) = delete;
    GPIOChip& operator=(const GPIOChip&) = delete;
    ~GPIOChip() override;  // releases the line

    // Where the constructor would find the line, without requesting it: the
    // chip's device path and the line's offset. Ends the process with the
    // constructor's own line when no chip holds it, and when a label or a
    // line name fits two chips (the first one would be a guess).
    struct Location {
        std::string path;
        unsigned int offset = 0;
    };
    static Location locate(const std::string& chip, const std::string& line, IoctlCall ioctlCall = {},
                           const std::string& devDir = DEFAULT_DEV_DIR);

    void driverOn() override { setLevel(1); }
    void driverOff() override { setLevel(0); }

private:
    // The chip's descriptor and path, the line's offset on it.
    struct Found {
        int fd = -1;
        std::string path;
        unsigned int offset = 0;
    };
    static Found find(const IoctlCall& ioctlCall, const std::string& devDir, const std::string& chip,
                      const std::string& line);
    static bool lineByName(const IoctlCall& ioctlCall, int fd, const std::string& name, unsigned int& offset);
    void request(const Found& found);
    void setLevel(int level);

    IoctlCall ioctlCall;
    std::string devDir;
    std::string device;  // "<chip path> line <offset>", for messages
    int lineFd = -1;     // the request's descriptor; only read once set up
};

#endif
