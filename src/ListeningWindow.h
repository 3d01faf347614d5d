#ifndef PELKO_LISTENINGWINDOW_H
#define PELKO_LISTENINGWINDOW_H

// What a discovery's listening window brought: the first 200 replies' worth
// of bytes (9 each) are kept, the rest is only counted, and one line says so.
class ListeningWindow {
public:
    static constexpr int SIZE = 200 * 9;

    // Empties the window for the next discovery.
    void clear();
    // Keeps what still fits of n bytes, counts the rest.
    void keep(const unsigned char* bytes, int n);
    unsigned char* data() { return bytes_; }
    int size() const { return size_; }
    // "Discovery okno plne ..." when bytes were ignored; nothing otherwise.
    void sayIgnored() const;

private:
    unsigned char bytes_[SIZE] = {};
    int size_ = 0;
    long ignored_ = 0;
};

#endif
