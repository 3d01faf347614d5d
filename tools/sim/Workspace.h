#ifndef PELKO_SIM_WORKSPACE_H
#define PELKO_SIM_WORKSPACE_H

#include <string>
#include <utility>
#include <vector>

// The gateway's temporary world: a working directory holding its
// "pelko.conf", and inside it a directory laid out as /sys/class/gpio for
// the direction pin. Removed with everything in it on destruction unless kept.
class Workspace {
public:
    // Makes a fresh directory under $TMPDIR (or /tmp). Throws on failure.
    Workspace();
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    // The working directory; the sysfs stand-in inside it; a pin's value file there.
    const std::string& dir() const { return dir_; }
    std::string gpioRoot() const { return dir_ + "/sys/class/gpio"; }
    std::string valuePath(const std::string& pin) const { return gpioRoot() + "/gpio" + pin + "/value"; }

    // Creates "export", "unexport" and gpio<pin>/{direction,value}, as the
    // kernel would show them once the pin is exported.
    void layOutPin(const std::string& pin) const;
    // True when something was written to the "export" file.
    bool pinExported() const;

    // Writes "pelko.conf" with a [settings] section holding these keys in order.
    void writeConfig(const std::vector<std::pair<std::string, std::string>>& settings) const;

    // True: the directory stays after destruction (for a look afterwards).
    void keep(bool keep) { keep_ = keep; }

private:
    std::string dir_;
    bool keep_ = false;
};

#endif
