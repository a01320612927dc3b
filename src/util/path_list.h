// A list of names kept in one block: four bytes and the name's own bytes an entry, where a
// vector of strings takes a string and often a heap block for each of a million names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class PathList {
public:
    void push_back(std::string_view name) {
        text_.append(name.data(), name.size());
        ends_.push_back(uint32_t(text_.size()));
    }
    void pop_back() {
        ends_.pop_back();
        text_.resize(ends_.empty() ? 0 : ends_.back());
    }
    size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::string_view operator[](size_t at) const {
        const uint32_t begin = at == 0 ? 0 : ends_[at - 1];
        return std::string_view(text_.data() + begin, ends_[at] - begin);
    }
    // The bytes of every name: past 4 GiB the list cannot grow.
    size_t bytes() const { return text_.size(); }
    void reserve(size_t count, size_t bytes) {
        ends_.reserve(count);
        text_.reserve(bytes);
    }
    bool operator==(const PathList& other) const { return text_ == other.text_ && ends_ == other.ends_; }

private:
    std::string text_;
    std::vector<uint32_t> ends_;
};
