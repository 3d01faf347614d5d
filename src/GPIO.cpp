#include "GPIO.h"
// Not built yet.
const char* const GPIO::DEFAULT_ROOT = "/sys/class/gpio";
GPIO::GPIO() : GPIO("4") {}
GPIO::GPIO(std::string num, std::string r) : gpionum(std::move(num)), root(std::move(r)) { exportGpio(); }
GPIO::~GPIO() { unexportGpio(); }
int GPIO::setdirGpio(std::string) { return 0; }
int GPIO::setvalGpio(std::string) { return 0; }
int GPIO::getvalGpio(std::string& v) { v = "0"; return 0; }
std::string GPIO::getGpionum() { return gpionum; }
int GPIO::exportGpio() { return 0; }
int GPIO::unexportGpio() { return 0; }
