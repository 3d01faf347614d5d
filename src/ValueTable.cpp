#include "ValueTable.h"

ValueTable::ValueTable(unsigned int channels, unsigned int perChannel)
    : channels_(channels),
      perChannel_(perChannel),
      values_(static_cast<std::size_t>(channels) * perChannel, 0u),
      // One spare null entry: a table of no channels still has a (non-null)
      // row array, which tells it apart from a node without a table.
      rowPointers_(static_cast<std::size_t>(channels) + 1, nullptr) {
    for (unsigned int c = 0; c < channels_; ++c) {
        rowPointers_[c] = values_.data() + static_cast<std::size_t>(c) * perChannel_;
    }
}

std::vector<unsigned int> ValueTable::snapshot() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return values_;
}

void ValueTable::copyForSet(std::vector<unsigned int>& out) {
    std::lock_guard<std::mutex> guard(mutex_);
    out.assign(values_.begin(), values_.end());
    setFrames_ = true;
    unsent_ = false;
}

bool ValueTable::store(const std::vector<unsigned int>& values) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (values.size() != values_.size() || (setFrames_ && unsent_)) return false;
    bool changed = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values_[i] != values[i]) {
            changed = true;
            values_[i] = values[i];
        }
    }
    return changed;
}

void ValueTable::write(const std::function<void(unsigned int**)>& write) {
    std::lock_guard<std::mutex> guard(mutex_);
    write(rowPointers_.data());
    unsent_ = true;
}
