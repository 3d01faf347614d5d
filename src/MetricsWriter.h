#ifndef PELKO_METRICSWRITER_H
#define PELKO_METRICSWRITER_H

#include <string>

#include "GatewayView.h"

// The gateway's counters in the Prometheus text format, for the node
// exporter's textfile collector: written whole to a temporary file beside
// the target and renamed over it, so a scrape never sees half a file.
// Every series carries bus="<name>" (the configuration file's name without
// .conf), so that several gateways on one board can share the directory.
class MetricsWriter {
public:
    MetricsWriter(std::string path, std::string bus);

    // One console line when writing first fails, one when it works again.
    bool write(const GatewayView::Snapshot& snapshot);

    static std::string text(const GatewayView::Snapshot& snapshot, const std::string& bus);

private:
    const std::string path;
    const std::string bus;
    bool failing = false;
};

#endif
