#include "Workspace.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace {
void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << content;
}
}  // namespace

Workspace::Workspace() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pelko-sim-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("cannot make a directory like " + pattern);
    dir_ = buf.data();
}

Workspace::~Workspace() {
    if (keep_) return;
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

void Workspace::layOutPin(const std::string& pin) const {
    fs::create_directories(gpioRoot() + "/gpio" + pin);
    writeFile(gpioRoot() + "/export", "");
    writeFile(gpioRoot() + "/unexport", "");
    writeFile(gpioRoot() + "/gpio" + pin + "/direction", "in\n");
    writeFile(gpioRoot() + "/gpio" + pin + "/value", "0\n");
}

bool Workspace::pinExported() const {
    std::error_code ec;
    auto size = fs::file_size(gpioRoot() + "/export", ec);
    return !ec && size > 0;
}

void Workspace::writeConfig(const std::vector<std::pair<std::string, std::string>>& settings) const {
    std::string text = "[settings]\n";
    for (const auto& kv : settings) text += kv.first + "=" + kv.second + "\n";
    writeFile(dir_ + "/pelko.conf", text);
}
