// Shared by the tests and the fuzzers: the long-token path driven the way the reader drives it.
#pragma once

#include <algorithm>
#include <string>

#include "text_number.h"

// Feeds text to the long-token path in pieces of the given size and returns its short form.
inline std::string shortened(const std::string& text, bool integral, std::size_t piece,
                             bool rounded = false) {
    long_token token;
    token.integral = integral;
    token.rounded = rounded;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        const std::size_t n = std::min(piece, text.size() - at);
        feed_long_token(token, text.data() + at, text.data() + at + n);
    }
    return finish_long_token(token);
}
