// Captures every Log message while in scope, in the order the log lock gave them.
#pragma once

#include <string>

class CLogCapture {
public:
    CLogCapture();   // installs the capturing sink and clears what was captured
    ~CLogCapture();  // puts the previous sink back
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    // Everything logged so far, each wide character narrowed to one byte.
    std::string Text() const;
    // Waits (up to ms) until Text() contains needle.
    bool WaitFor(const std::string& needle, unsigned ms) const;
};
