// Splits a log into its lines, never holding more than one line and one read.
//
// The bytes come from a Source: read(2) on the log in the program, a string
// in the tests and the fuzzers. A line is what ends with a newline; what
// follows the last newline is a fragment, a line that the log ends inside.
// lowrad writes no line of more than 200 bytes, so a line longer than
// longest_line is no log of lowrad's and ends the reading: a file without
// newlines (/dev/zero, a binary) costs one buffer, whatever its size.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace assess {

inline constexpr size_t longest_line = 65536;

// Fills buffer with the log's next bytes and returns how many: 0 at the end
// of the log, -1 with errno set when reading failed.
using Source = std::function<ssize_t(char *buffer, size_t size)>;

// text as a Source that gives at most piece bytes at a time.
Source text_source(std::string_view text, size_t piece = longest_line);

class Lines {
  public:
    enum class Got { line, fragment, end, too_long, failed };

    explicit Lines(Source source);
    // The next line without its newline, valid until the next call; a
    // fragment at the end of the log; or why there is no line.
    Got next(std::string_view &line);

  private:
    bool fill();

    Source source_;
    std::vector<char> buffer_;
    size_t begin_ = 0; // where the next line starts in buffer_
    size_t end_ = 0;   // where the bytes read end
    bool ended_ = false;
};

} // namespace assess
