#ifndef PELKO_GPIO_H
#define PELKO_GPIO_H

#include <mutex>
#include <string>

// One sysfs GPIO pin (the bus line driver's direction). Export, unexport and
// direction open their file, write once and close it again; the `value` file
// is opened at the first level written and kept, so that a switch is one
// write. Every failure ends the process with status 1 after its message.
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
    // Lines after a refused export: which chips this kernel numbers from
    // which base, and what the configured pin is called there.
    void explainNumbering() const;

    std::mutex valueMutex;  // the bus thread and an orderly stop both switch the pin
    int valuefd = -1;
    bool valueSeekable = true;
    std::string gpionum;
    std::string root;
};

#endif
