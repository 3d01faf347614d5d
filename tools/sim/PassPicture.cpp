#include "PassPicture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

constexpr double kWidth = 1400;
constexpr double kLeft = 170;   // lane names
constexpr double kRight = 30;
constexpr double kCharPx = 6.0; // a conservative width of one character at font-size 10

// Lane rows, top to bottom.
constexpr double kPinHigh = 84, kPinLow = 112;
constexpr double kSentTop = 134, kSentHeight = 24;
constexpr double kReplyTop = 176, kReplyHeight = 24;
constexpr double kMinTop = 238, kMinHeight = 36;
constexpr double kLeaderTop = 292, kLeaderStep = 15;

std::string esc(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

std::string num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

std::string ms(double us) {
    char b[32];
    if (us < 100) std::snprintf(b, sizeof b, "%.0f µs", us);
    else std::snprintf(b, sizeof b, "%.2f ms", us / 1000);
    return b;
}

const char* colour(passschedule::Segment::Kind kind) {
    switch (kind) {
        case passschedule::Segment::Kind::Delay: return "#9ec5e8";
        case passschedule::Segment::Kind::Wire: return "#8cd17d";
        case passschedule::Segment::Kind::Turnaround: return "#ffbe7d";
        case passschedule::Segment::Kind::Polling: return "#d7d2cc";
    }
    return "#ffffff";
}

class Canvas {
public:
    explicit Canvas(double spanUs) : span_(spanUs) {}
    double x(double us) const { return kLeft + us / span_ * (kWidth - kLeft - kRight); }
    double span() const { return span_; }

    void text(double x, double y, const std::string& s, const char* extra = "") {
        out << "<text x=\"" << num(x) << "\" y=\"" << num(y) << "\" " << extra << ">" << esc(s) << "</text>\n";
    }
    void rect(double x0, double y, double x1, double h, const char* fill) {
        out << "<rect x=\"" << num(x0) << "\" y=\"" << num(y) << "\" width=\"" << num(std::max(x1 - x0, 0.8))
            << "\" height=\"" << num(h) << "\" fill=\"" << fill << "\" stroke=\"#555\" stroke-width=\"0.5\"/>\n";
    }
    void line(double x0, double y0, double x1, double y1, const char* style) {
        out << "<line x1=\"" << num(x0) << "\" y1=\"" << num(y0) << "\" x2=\"" << num(x1) << "\" y2=\"" << num(y1)
            << "\" " << style << "/>\n";
    }

    // A labelled box: the label inside when it fits, else on the first
    // leader row below the lane where it does not run into another label.
    void box(double us0, double us1, double top, double height, const char* fill, const std::string& name,
             const std::string& detail) {
        const double x0 = x(us0), x1 = x(us1);
        rect(x0, top, x1, height, fill);
        const double width = x1 - x0;
        const std::size_t longest = std::max(name.size(), detail.size());
        if (width >= longest * kCharPx + 4) {
            const double mid = (x0 + x1) / 2;
            if (detail.empty()) {
                text(mid, top + height / 2 + 3.5, name, "text-anchor=\"middle\"");
            } else {
                text(mid, top + height / 2 - 2, name, "text-anchor=\"middle\"");
                text(mid, top + height / 2 + 10, detail, "text-anchor=\"middle\"");
            }
            return;
        }
        const std::string label = detail.empty() ? name : name + " " + detail;
        const double labelWidth = label.size() * kCharPx;
        const double anchor = (x0 + x1) / 2;
        std::size_t row = 0;
        while (row < rowsEnd_.size() && rowsEnd_[row] > anchor - 2) ++row;
        if (row == rowsEnd_.size()) rowsEnd_.push_back(0);
        rowsEnd_[row] = anchor + labelWidth + 8;
        const double y = kLeaderTop + row * kLeaderStep;
        line(anchor, top + height, anchor, y - 3, "stroke=\"#888\" stroke-width=\"0.6\"");
        text(anchor + 2, y + 4, label);
        leaderBottom_ = std::max(leaderBottom_, y + 6);
    }
    double leaderBottom() const { return leaderBottom_; }

    std::ostringstream out;

private:
    double span_;
    std::vector<double> rowsEnd_;
    double leaderBottom_ = kLeaderTop;
};

double tickStep(double spanUs) {
    for (double step : {200.0, 500.0, 1000.0, 2000.0, 5000.0, 10000.0, 20000.0, 50000.0, 100000.0}) {
        if (spanUs / step <= 16) return step;
    }
    return 200000.0;
}

}  // namespace

std::string PassPicture::svg() const {
    const double minimumUs = passschedule::lengthUs(minimum);
    Canvas c(std::max(measuredUs, minimumUs) * 1.03);
    // Lane names and the measured lanes.
    c.text(12, 28, title, "font-size=\"15\" font-weight=\"bold\"");
    c.text(12, 48, "measured " + ms(measuredUs) + ", protocol minimum " + ms(minimumUs) + " (ratio " +
                       [&] { char b[16]; std::snprintf(b, sizeof b, "%.2f", measuredUs / minimumUs); return std::string(b); }() +
                       "); times from the read request's pin switch, as the bench saw them",
           "font-size=\"11\"");
    c.text(12, (kPinHigh + kPinLow) / 2 + 4, "direction pin");
    c.text(12, kSentTop + kSentHeight / 2 + 4, "gateway → bus");
    c.text(12, kReplyTop + kReplyHeight / 2 + 4, "node → gateway");
    c.text(12, kMinTop + kMinHeight / 2 - 2, "protocol minimum");
    c.text(12, kMinTop + kMinHeight / 2 + 10, "(nominal delays)");

    std::string points;
    bool high = false;
    double lastX = c.x(0);
    auto level = [&](bool h) { return h ? kPinHigh : kPinLow; };
    points += num(lastX) + "," + num(level(high));
    for (const Level& l : pin) {
        const double x = c.x(std::max(0.0, l.us));
        points += " " + num(x) + "," + num(level(high)) + " " + num(x) + "," + num(level(l.high));
        high = l.high;
    }
    points += " " + num(c.x(measuredUs)) + "," + num(level(high));
    c.out << "<polyline points=\"" << points << "\" fill=\"none\" stroke=\"#c0392b\" stroke-width=\"1.5\"/>\n";
    c.text(c.x(0) - 4, kPinHigh + 4, "1", "text-anchor=\"end\" font-size=\"9\"");
    c.text(c.x(0) - 4, kPinLow + 4, "0", "text-anchor=\"end\" font-size=\"9\"");

    for (const Frame& f : sent) c.box(f.us, f.us + f.lengthUs, kSentTop, kSentHeight, "#8cd17d", f.label, "");
    for (const Frame& f : replies) c.box(f.us, f.us + f.lengthUs, kReplyTop, kReplyHeight, "#ffbe7d", f.label, "");

    // The minimum lane: every segment in the order the protocol runs them.
    for (const passschedule::Segment& s : minimum) {
        c.box(s.startUs, s.startUs + s.us, kMinTop, kMinHeight, colour(s.kind), s.name, ms(s.us));
    }
    // A bracket over each part of the pass, named where the name fits.
    for (std::size_t i = 0; i < minimum.size();) {
        std::size_t j = i;
        while (j < minimum.size() && minimum[j].group == minimum[i].group) ++j;
        if (!minimum[i].group.empty()) {
            const double x0 = c.x(minimum[i].startUs) + 1, x1 = c.x(minimum[j - 1].startUs + minimum[j - 1].us) - 1;
            const double y = kMinTop - 6;
            c.out << "<polyline points=\"" << num(x0) << "," << num(y + 4) << " " << num(x0) << "," << num(y) << " "
                  << num(x1) << "," << num(y) << " " << num(x1) << "," << num(y + 4)
                  << "\" fill=\"none\" stroke=\"#2c3e50\" stroke-width=\"0.8\"/>\n";
            if (x1 - x0 >= minimum[i].group.size() * kCharPx)
                c.text((x0 + x1) / 2, y - 3, minimum[i].group, "text-anchor=\"middle\" font-size=\"10\"");
        }
        i = j;
    }

    const double bottom = c.leaderBottom() + 18;
    // The two ends of the pass.
    c.line(c.x(measuredUs), 62, c.x(measuredUs), kReplyTop + kReplyHeight + 8,
           "stroke=\"#c0392b\" stroke-dasharray=\"4,3\"");
    c.text(c.x(measuredUs) - 3, 66, "next pass starts", "text-anchor=\"end\" font-size=\"9\" fill=\"#c0392b\"");
    c.line(c.x(minimumUs), kMinTop - 8, c.x(minimumUs), kMinTop + kMinHeight + 4,
           "stroke=\"#2c3e50\" stroke-dasharray=\"4,3\"");

    // Time axis.
    const double step = tickStep(c.span());
    std::ostringstream grid;  // drawn first, under everything else
    c.line(c.x(0), bottom, c.x(c.span()), bottom, "stroke=\"#333\"");
    const int ticks = static_cast<int>(c.span() / step + 1e-9);  // the last tick on the span's end too
    for (int tick = 0; tick <= ticks; ++tick) {
        const double t = tick * step;
        c.line(c.x(t), bottom, c.x(t), bottom + 5, "stroke=\"#333\"");
        grid << "<line x1=\"" << num(c.x(t)) << "\" y1=\"62\" x2=\"" << num(c.x(t)) << "\" y2=\"" << num(bottom)
             << "\" stroke=\"#e8e8e8\"/>\n";
        c.text(c.x(t), bottom + 17, num(t / 1000) + " ms", "text-anchor=\"middle\" font-size=\"10\"");
    }

    // Legend.
    const double legendY = bottom + 40;
    double lx = kLeft;
    const std::pair<const char*, const char*> legend[] = {{"#9ec5e8", "named delay of the gateway"},
                                                          {"#8cd17d", "frame bytes on the wire (86.8 µs a byte)"},
                                                          {"#ffbe7d", "node turnaround / node reply"},
                                                          {"#d7d2cc", "rest of the 1 ms receive polling step"}};
    for (const auto& entry : legend) {
        c.rect(lx, legendY - 10, lx + 14, 12, entry.first);
        c.text(lx + 20, legendY, entry.second);
        lx += 40 + std::char_traits<char>::length(entry.second) * kCharPx;
    }

    std::ostringstream doc;
    doc << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << num(kWidth) << "\" height=\"" << num(legendY + 16)
        << "\" viewBox=\"0 0 " << num(kWidth) << " " << num(legendY + 16)
        << "\" font-family=\"DejaVu Sans, Verdana, sans-serif\" font-size=\"10\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
        << grid.str() << c.out.str() << "</svg>\n";
    return doc.str();
}

bool PassPicture::write(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << svg();
    return static_cast<bool>(out);
}
