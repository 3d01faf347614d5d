#include "ListeningWindow.h"

#include <string>

#include "Console.h"

constexpr int ListeningWindow::SIZE;

void ListeningWindow::clear() {
    size_ = 0;
    ignored_ = 0;
}

void ListeningWindow::keep(const unsigned char* bytes, int n) {
    for (int i = 0; i < n; ++i) {
        if (size_ < SIZE) {
            bytes_[size_++] = bytes[i];
        } else {
            ++ignored_;
        }
    }
}

void ListeningWindow::sayIgnored() const {
    if (ignored_ == 0) return;
    console::out("Discovery okno plne (" + std::to_string(SIZE) + " B), ignorovano " + std::to_string(ignored_) +
                 " B");
}
