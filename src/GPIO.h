#ifndef PELKO_GPIO_H
#define PELKO_GPIO_H

#include <string>

// One sysfs GPIO pin (the bus line driver's direction). Every operation
// opens its file, does one write or read and closes it again; every failure
// ends the process with status 1 after its message.
class GPIO {
public:
    static const char* const DEFAULT_ROOT;  // "/sys/class/gpio"

    GPIO();  // pin "4"
    // Exports the pin under `root` (an already exported pin is used as it is).
    explicit GPIO(std::string gpionum, std::string root = DEFAULT_ROOT);
    GPIO(const GPIO&) = delete;
    GPIO& operator=(const GPIO&) = delete;
    ~GPIO();  // unexports the pin

    int setdirGpio(std::string dir);  // "in" or "out"
    int setvalGpio(std::string val);  // "1" or "0"
    int getvalGpio(std::string& val);  // the level read, "1" or "0"
    std::string getGpionum();          // the pin number text as given

private:
    int exportGpio();
    int unexportGpio();

    int valuefd = -1;
    int directionfd = -1;
    int exportfd = -1;
    int unexportfd = -1;
    std::string gpionum;
    std::string root;
};

#endif
