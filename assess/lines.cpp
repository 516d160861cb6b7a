#include "assess/lines.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace assess {

Source text_source(std::string_view text, size_t piece) {
    return [text, piece](char *buffer, size_t size) mutable {
        const size_t given = std::min({text.size(), size, piece});
        std::copy_n(text.begin(), given, buffer);
        text.remove_prefix(given);
        return static_cast<ssize_t>(given);
    };
}

// Room for the longest line, and at least as much again for each read.
Lines::Lines(Source source) : source_(std::move(source)), buffer_(2 * longest_line) {}

Lines::Got Lines::next(std::string_view &line) {
    for (;;) {
        const char *start = buffer_.data() + begin_;
        const size_t unread = end_ - begin_;
        if (const auto *newline = static_cast<const char *>(std::memchr(start, '\n', unread))) {
            line = {start, static_cast<size_t>(newline - start)};
            begin_ += line.size() + 1;
            return line.size() > longest_line ? Got::too_long : Got::line;
        }
        if (unread > longest_line) {
            return Got::too_long;
        }
        if (ended_) {
            line = {start, unread};
            begin_ = end_;
            return unread == 0 ? Got::end : Got::fragment;
        }
        if (!fill()) {
            return Got::failed;
        }
    }
}

// Moves the start of the line to the front and reads behind it.
bool Lines::fill() {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    const ssize_t got = source_(buffer_.data() + end_, buffer_.size() - end_);
    if (got < 0) {
        return false;
    }
    ended_ = got == 0;
    end_ += static_cast<size_t>(got);
    return true;
}

} // namespace assess
